#include "common/win32.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "window/control.h"

namespace {

std::vector<std::u16string> calls;

std::vector<LONG> Edges(const RECT& rect) {
    return {rect.left, rect.top, rect.right, rect.bottom};
}

class ControlTest : public testing::Test {
  protected:
    void SetUp() override { calls.clear(); }
    void TearDown() override {
        Release(Applet);
        Applet = nullptr;
        AppletMode = false;
        EXPECT_EQ(KindCache[0], nullptr) << "a control outlived the applet";
    }

    // The start-up sequence's own calls, in its order.
    static TControl* BuildStartupObjects() {
        Applet = CreateApplet(u"Tapwright");
        Hide(Applet);
        TControl* form = SetSize(CreateForm(Applet, u"Tapwright"), 240, 40);
        EXPECT_EQ(GetClassName(form), u"obj_Form");
        SetClassName(form, u"SvcTapwright");
        Hide(form);
        return form;
    }
};

TEST_F(ControlTest, NewControlStartsWithTheDefaults) {
    Applet = NewControl(nullptr, u"Form", 0);
    EXPECT_EQ(std::vector<uint32_t>({Applet->ClassStyle, Applet->Style, Applet->ExStyle,
                                     Applet->TextColor, Applet->BackgroundColor, Applet->Visible}),
              std::vector<uint32_t>({0x20, 0x16CF0000, 0x10000, 0x80000008, 0x8000000F, 1}));
    EXPECT_EQ(Applet->Children->Count + Applet->Handlers->Count, 0);
    EXPECT_EQ(Applet->Children->GrowthStep, 4);
    EXPECT_TRUE(Applet->Kind == KindCache[0] && Applet->RefCount == 0);
    TMessage message{};
    LRESULT result = 0;
    EXPECT_FALSE(Applet->ClassFilter->Code(Applet->ClassFilter->Data, message, result) ||
                 Applet->DispatchHook(Applet, message, result) ||
                 Applet->KeyHook(Applet, message, result) ||
                 Applet->DialogKeyHook(Applet, VK_TAB, false));
    TControl* parented = AllocateObject<TControl>();
    parented->CreateParented(GetDesktopWindow());
    EXPECT_TRUE(parented->ForeignParent == GetDesktopWindow() && parented->Style == 0x16CF0000);
    Release(parented);
}

TEST_F(ControlTest, StartupSequenceLeavesTwoHiddenWindowlessObjects) {
    TControl* form = BuildStartupObjects();
    EXPECT_EQ(
        std::vector<uint32_t>({Applet->Style, Applet->ExStyle, form->Style, form->ClassStyle}),
        std::vector<uint32_t>({0x80CA0000, 0x40000, 0x06CF0000, 0x28}));
    EXPECT_TRUE(Applet->VisibilityExplicit && form->VisibilityExplicit);
    EXPECT_EQ(Edges(form->Bounds), std::vector<LONG>({0, 0, 240, 40}));
    EXPECT_EQ(form->PositionSet, 0);
    EXPECT_TRUE(Applet->Children->Count == 1 && Applet->Children->Get(0) == form);
    EXPECT_EQ(form->Parent, Applet);
    EXPECT_TRUE(Applet->Window == nullptr && form->Window == nullptr);
    EXPECT_EQ(GetCaption(form), u"Tapwright");
    EXPECT_EQ(GetClassName(form), u"SvcTapwright");
    EXPECT_EQ(GetClassName(Applet), u"obj_App");
    EXPECT_TRUE(form->Kind == Applet->Kind && form->Kind == KindCache[0]);
    EXPECT_EQ(form->Kind->RefCount, 2);
    WNDCLASSW unused{};
    for (const wchar_t* name : {L"obj_App", L"obj_Form", L"SvcTapwright"}) {
        EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), name, &unused)) << name;
    }
    int windows = 0;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND, LPARAM count) { return ++*reinterpret_cast<int*>(count) > 0 ? TRUE : FALSE; },
        reinterpret_cast<LPARAM>(&windows));
    EXPECT_EQ(windows, 0) << "the thread owns no window";
}

TEST_F(ControlTest, AppletAndFormComeWithTheirHandlersAndHook) {
    TControl* form = BuildStartupObjects();
    auto items = [](TControl* control) {
        TPtrList* list = control->Handlers;
        return std::vector<void*>(list->Items, list->Items + list->Count);
    };
    EXPECT_EQ(items(Applet),
              (std::vector<void*>{reinterpret_cast<void*>(&AppletMessageHandler), nullptr}));
    EXPECT_EQ(items(form),
              (std::vector<void*>{reinterpret_cast<void*>(&FormFocusHandler), nullptr,
                                  reinterpret_cast<void*>(&FormBackgroundHandler), nullptr}));
    EXPECT_TRUE(Applet->DispatchHook == &DispatchHandlers &&
                form->DispatchHook == &DispatchHandlers);
    EXPECT_TRUE(Applet->WindowCreatedHook == &AppletWindowCreated &&
                form->WindowCreatedHook != &AppletWindowCreated);
    form->Icon = kNoIcon;
    EXPECT_EQ(GetIcon(form), nullptr);
    EXPECT_EQ(GetParentHandle(form, false), nullptr);
    EXPECT_TRUE(IsEnabled(form));
    form->Style |= WS_DISABLED;
    EXPECT_FALSE(IsEnabled(form) || TakeFocus(form));
    EXPECT_EQ(Applet->Window, nullptr) << "none of this makes a window";
}

TEST_F(ControlTest, SizeAndBoundsSetPositionBitsOnlyForMovedCoordinates) {
    Applet = NewControl(nullptr, u"Form", 0);
    EXPECT_EQ(SetSize(Applet, 240, 40), Applet);
    SetSize(Applet, 0, 50);
    SetSize(Applet, -1, -1);
    SetBounds(Applet, RECT{0, 0, 240, 50});
    EXPECT_EQ(Edges(GetBounds(Applet)), std::vector<LONG>({0, 0, 240, 50}));
    EXPECT_EQ(Applet->PositionSet, 0);
    SetBounds(Applet, RECT{10, 0, 250, 50});
    EXPECT_EQ(Applet->PositionSet, kLeftSet);
    SetBounds(Applet, RECT{0, 5, 240, 55});
    SetSize(Applet, 100, 0);
    EXPECT_EQ(Edges(GetBounds(Applet)), std::vector<LONG>({0, 5, 100, 55}));
    EXPECT_EQ(Applet->PositionSet, kLeftSet | kTopSet);
}

TEST_F(ControlTest, CaptionVisibilityAndClassNameTouchOnlyStoredFields) {
    Applet = NewControl(nullptr, u"Form", 0);
    Applet->CaptionChangedHook = [](TControl* control) { calls.push_back(GetCaption(control)); };
    for (const char16_t* caption : {u"Erste", u"", u"Zweite"}) SetCaption(Applet, caption);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"Erste", u"", u"Zweite"}));
    Applet->DeferredShow = 1;
    Hide(Applet);
    EXPECT_TRUE(Applet->Style == 0x06CF0000 && !Applet->Visible && Applet->DeferredShow);
    SetVisible(Applet, true);
    EXPECT_TRUE(Applet->Style == 0x16CF0000 && Applet->Visible);
    SetClassName(Applet, u"First");
    SetClassName(Applet, std::u16string(u"Cut\0Off", 7));
    EXPECT_EQ(GetClassName(Applet), u"Cut");
}

TEST_F(ControlTest, DestroyClearsFocusedChildAndUnlinksFromParent) {
    TControl* form = BuildStartupObjects();
    TControl* panel = NewControl(form, u"Panel", 0);
    TControl* button = NewControl(panel, u"Button", 0);
    panel->ChildControl = button->ChildControl = 1;
    form->FocusedChild = button;
    Release(button);
    EXPECT_EQ(form->FocusedChild, nullptr) << "the top-level ancestor forgets it";
    EXPECT_EQ(panel->Children->Count, 0);
    Applet->FocusedChild = form;
    Release(form);
    EXPECT_TRUE(Applet->FocusedChild == nullptr && Applet->Children->Count == 0);
    EXPECT_EQ(Applet->OwnedList->Count, 2) << "only the kind descriptor stays owned";
}

TEST_F(ControlTest, ReleasingAParentDestroysItsChildrenAndSharedObjects) {
    TControl* applet = CreateApplet(u"Tapwright");
    TRefObject* font = New<TRefObject>();
    applet->Font = font;
    AddOwned(applet, font);
    applet->DialogKeyHook = [](TControl*, WPARAM, bool) { return true; };
    applet->TextColor = 0x123456;
    TControl* form = CreateForm(applet, u"Tapwright");
    EXPECT_TRUE(form->Font == font && font->RefCount == 2 && form->TextColor == 0x123456);
    EXPECT_TRUE(form->DialogKeyHook(form, 0, false));
    for (TRefObject* object : {font, static_cast<TRefObject*>(form)}) {
        object->OnRelease = {[](void*, TRefObject*) { calls.push_back(u"gone"); }, nullptr};
    }
    Release(applet);
    EXPECT_EQ(calls.size(), 2u);
}

TEST_F(ControlTest, OnlyTheFirstFormIsTheMainForm) {
    TControl* first = BuildStartupObjects();
    TControl* second = CreateForm(Applet, u"Second");
    EXPECT_EQ(Applet->Children->Get(1), second);
    EXPECT_TRUE(IsMainForm(first) && !IsMainForm(second) && !IsMainForm(Applet));
    AppletMode = false;
    EXPECT_TRUE(IsMainForm(Applet) && !IsMainForm(first));
    TControl* applet = std::exchange(Applet, nullptr);
    second->ChildControl = 1;
    EXPECT_TRUE(IsMainForm(first) && !IsMainForm(second));
    Applet = applet;
}

TEST_F(ControlTest, ReparentingCallsTheChildChangedHooksOnlyOnAChange) {
    TControl* form = BuildStartupObjects();
    TControl* other = NewControl(nullptr, u"Other", 0);
    for (TControl* control : {Applet, form, other}) {
        control->ChildChangedHook = [](TControl* parent, TControl* child) {
            calls.push_back(GetClassName(parent) + u"+" + (child ? GetClassName(child) : u"nil"));
        };
    }
    SetParentControl(form, Applet);
    EXPECT_TRUE(calls.empty());
    SetParentControl(form, other);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"obj_App+nil", u"obj_Other+SvcTapwright",
                                                  u"obj_Other+SvcTapwright"}));
    EXPECT_TRUE(Applet->Children->Count == 0 && other->Children->Get(0) == form);
    EXPECT_GE(other->OwnedList->IndexOf(static_cast<TRefObject*>(form)), 0);
    form->ChildControl = 1;
    EXPECT_EQ(TopLevelOf(form), other);
    other->ChildControl = 1;
    EXPECT_EQ(TopLevelOf(form), nullptr);
    Release(other);
}

TEST_F(ControlTest, HandlersAreKeptOnceAsPairsAndColoursResolve) {
    Applet = NewControl(nullptr, u"Form", 0);
    TMessageHandler first = [](TControl*, TMessage&, LRESULT&) { return true; };
    TMessageHandler second = [](TControl*, TMessage&, LRESULT&) { return false; };
    AddMessageHandler(Applet, first);
    AddMessageHandler(Applet, second, true);
    AddMessageHandler(Applet, first, true);
    TPtrList* list = Applet->Handlers;
    EXPECT_EQ(std::vector<void*>(list->Items, list->Items + list->Count),
              (std::vector<void*>{reinterpret_cast<void*>(first), nullptr,
                                  reinterpret_cast<void*>(second), reinterpret_cast<void*>(1)}));
    EXPECT_EQ(ResolveColor(0x8000000F), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(ResolveColor(0x80000008), GetSysColor(COLOR_WINDOWTEXT));
    EXPECT_EQ(ResolveColor(0x00123456), 0x00123456u);
}

}  // namespace
