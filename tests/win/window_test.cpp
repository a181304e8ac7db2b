#include "common/win32.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <string>
#include <vector>

#include "update/version_probe.h"
#include "window/control.h"

// Freed memory is filled and never handed out again: a control that is used
// after it was freed then shows, instead of reading a block someone reused.
void operator delete(void* block) noexcept {
    if (block != nullptr) std::memset(block, 0xDD, _msize(block));
}
void operator delete(void* block, size_t) noexcept {
    operator delete(block);
}

namespace {

bool Freed(TRefObject* object) {
    return object->RefCount == static_cast<int32_t>(0xDDDDDDDD);
}

std::vector<std::u16string> calls;
std::vector<std::pair<UINT, WPARAM>> defaults;  // what reached default processing

std::vector<LONG> Edges(const RECT& r) {
    return {r.left, r.top, r.right, r.bottom};
}
std::vector<LONG> WindowEdges(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return Edges(rect);
}
std::u16string ClassOf(HWND window) {
    wchar_t name[256];
    return FromWide(name, static_cast<size_t>(GetClassNameW(window, name, 256)));
}
std::vector<void*> Items(TPtrList* list) {
    return std::vector<void*>(list->Items, list->Items + list->Count);
}

LRESULT CALLBACK RecordingDefault(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP || message == WM_COMMAND ||
        (message >= WM_KEYDOWN && message <= WM_CHAR)) {
        defaults.emplace_back(message, wParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool Oldest(TControl*, TMessage& message, LRESULT&) {
    if (message.Message == WM_APP) calls.push_back(u"oldest");
    return false;
}
bool Handling(TControl*, TMessage& message, LRESULT& result) {
    if (message.Message != WM_APP) return false;
    calls.push_back(u"handling");
    result = 7;
    return true;
}
bool Newest(TControl*, TMessage& message, LRESULT&) {
    if (message.Message == WM_APP) calls.push_back(u"newest");
    return false;
}

TControl* NewChild(TControl* parent, const RECT& bounds) {
    TControl* child = NewControl(parent, u"Panel", 0);
    child->ChildControl = 1;
    child->Style = WS_CHILD | WS_VISIBLE;
    child->Bounds = bounds;
    return child;
}

// The start-up sequence's own calls, in its order.
TControl* BuildStartupObjects() {
    Applet = CreateApplet(u"Tapwright");
    Hide(Applet);
    TControl* form = SetSize(CreateForm(Applet, u"Tapwright"), 240, 40);
    EXPECT_EQ(GetClassName(form), u"obj_Form");
    SetClassName(form, u"SvcTapwright");
    Hide(form);
    return form;
}

// A control that gets a window gives its creator's reference to the window,
// whose WM_DESTROY gives it back; windowless ones are released by hand.
void ReleaseAll(std::initializer_list<TControl*> windowless = {}) {
    for (TControl* control : windowless) Release(control);
    Release(Applet);
    Applet = nullptr;
    AppletMode = Quitting = false;
    MSG left;
    while (PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE)) {
    }
    EXPECT_EQ(KindCache[0], nullptr) << "a control outlived the applet";
    calls.clear();
    defaults.clear();
}

TEST(Controls, StartupSequenceLeavesTwoHiddenWindowlessObjects) {
    TControl* form = BuildStartupObjects();
    EXPECT_EQ(std::vector<uint32_t>({Applet->Style, Applet->ExStyle, form->Style, form->ExStyle,
                                     form->ClassStyle, form->TextColor, form->BackgroundColor}),
              std::vector<uint32_t>(
                  {0x80CA0000, 0x40000, 0x06CF0000, 0x10000, 0x28, 0x80000008, 0x8000000F}));
    EXPECT_EQ(Edges(form->Bounds), std::vector<LONG>({0, 0, 240, 40}));
    EXPECT_TRUE(form->PositionSet == 0 && form->Parent == Applet &&
                Applet->Children->Get(0) == form);
    EXPECT_TRUE(Applet->Window == nullptr && form->Window == nullptr && form->Kind == Applet->Kind);
    EXPECT_EQ(GetCaption(form) + GetClassName(form) + GetClassName(Applet),
              u"TapwrightSvcTapwrightobj_App");
    EXPECT_EQ(Items(form->Handlers),
              (std::vector<void*>{reinterpret_cast<void*>(&FormFocusHandler), nullptr,
                                  reinterpret_cast<void*>(&FormBackgroundHandler), nullptr}));
    EXPECT_TRUE(Applet->WindowCreatedHook == &AppletWindowCreated &&
                form->DispatchHook == &DispatchHandlers);
    EXPECT_TRUE(IsMainForm(form) && !IsMainForm(Applet) && !IsMainForm(CreateForm(Applet, u"2")));
    WNDCLASSW unused{};
    EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), L"SvcTapwright", &unused));
    ReleaseAll({form, static_cast<TControl*>(Applet->Children->Get(1))});
}

TEST(Controls, SizeBoundsCaptionAndVisibilityWithoutAWindow) {
    Applet = NewControl(nullptr, u"Form", 0);
    SetSize(SetSize(SetSize(Applet, 240, 40), 0, 50), -1, -1);
    EXPECT_EQ(Edges(Applet->Bounds), std::vector<LONG>({0, 0, 240, 50}));
    SetBounds(Applet, RECT{0, 0, 240, 50});
    EXPECT_EQ(Applet->PositionSet, 0);
    SetBounds(Applet, RECT{10, 0, 250, 50});
    EXPECT_EQ(Applet->PositionSet, kLeftSet);
    SetBounds(Applet, RECT{0, 5, 240, 55});
    EXPECT_EQ(Edges(GetBounds(SetSize(Applet, 100, 0))), std::vector<LONG>({0, 5, 100, 55}));
    EXPECT_EQ(Applet->PositionSet, kLeftSet | kTopSet);
    Applet->CaptionChangedHook = [](TControl* control) { calls.push_back(GetCaption(control)); };
    for (const char16_t* caption : {u"Erste", u"", u"Zweite"}) SetCaption(Applet, caption);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"Erste", u"", u"Zweite"}));
    Applet->DeferredShow = 1;
    Hide(Applet);
    EXPECT_TRUE(Applet->Style == 0x06CF0000 && !Applet->Visible && Applet->DeferredShow);
    SetClassName(Applet, std::u16string(u"Cut\0Off", 7));
    EXPECT_EQ(GetClassName(Applet), u"Cut");
    EXPECT_EQ(ResolveColor(0x8000000F), GetSysColor(COLOR_BTNFACE));
    EXPECT_EQ(ResolveColor(0x00123456), 0x00123456u);
    ReleaseAll();
}

TEST(Controls, ParentsHoldTheirChildrenAndForgetThemWhenDestroyed) {
    TControl* form = BuildStartupObjects();
    TControl* other = NewControl(nullptr, u"Other", 0);
    for (TControl* control : {Applet, form, other}) {
        control->ChildChangedHook = [](TControl* parent, TControl* child) {
            calls.push_back(GetClassName(parent) + u"+" + (child ? GetClassName(child) : u"nil"));
        };
    }
    SetParentControl(form, Applet);
    SetParentControl(form, other);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"obj_App+nil", u"obj_Other+SvcTapwright",
                                                  u"obj_Other+SvcTapwright"}));
    EXPECT_TRUE(Applet->Children->Count == 0 && other->Children->Get(0) == form);
    TControl* panel = NewChild(form, {});
    TControl* button = NewChild(panel, {});
    form->FocusedChild = Applet->FocusedChild = button;
    Release(button);
    Release(panel);
    EXPECT_TRUE(button->RefCount == 0 && panel->RefCount == 0) << "their parents hold them";
    SetParentControl(panel, nullptr);
    EXPECT_TRUE(Freed(panel) && Freed(button) && !form->FocusedChild && !Applet->FocusedChild);
    Release(form);
    Release(other);
    EXPECT_TRUE(Freed(form) && Freed(other));
    ReleaseAll();
}

TEST(Windows, ClassesPlacementAndIcons) {
    HWND reference =
        CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    const std::vector<LONG> system = WindowEdges(reference);
    DestroyWindow(reference);
    TControl* form = BuildStartupObjects();
    HWND window = GetHandle(form);
    EXPECT_EQ(WindowEdges(window),
              (std::vector<LONG>{system[0], system[1], system[0] + 240, system[1] + 40}));
    EXPECT_EQ(GetWindow(window, GW_OWNER), Applet->Window);
    EXPECT_EQ(ClassOf(Applet->Window) + u"," + ClassOf(window), u"obj_App,SvcTapwright");
    EXPECT_EQ(GetClassLongW(Applet->Window, GCL_STYLE), 0u) << "CS_OWNDC is masked off";
    EXPECT_EQ(GetClassLongW(window, GCL_STYLE), static_cast<DWORD>(CS_DBLCLKS));
    TControl* second = CreateForm(Applet, u"Second");
    SetClassName(second, u"SvcTapwright");
    EXPECT_TRUE(GetHandle(second) != nullptr && second->DefaultWndProc == nullptr);
    EXPECT_EQ(GetWindowTextLengthW(second->Window), 6) << "default processing is not the layer's";
    TControl* named = CreateForm(Applet, u"Named");
    SetClassName(named, std::u16string(70, u'N'));
    EXPECT_EQ(ClassOf(GetHandle(named)), std::u16string(63, u'N'));
    EXPECT_EQ(ClassOf(GetHandle(NewChild(second, {10, 20, 110, 45}))), u"obj_Panel");
    TControl* label = NewControl(second, u"STATIC", 0);
    label->Style = WS_CHILD;
    ASSERT_TRUE(label->CreateWnd());
    WNDCLASSW base{};
    GetClassInfoW(nullptr, L"STATIC", &base);
    EXPECT_EQ(label->DefaultWndProc, base.lpfnWndProc);
    RECT placed = GetBounds(static_cast<TControl*>(second->Children->Get(0)));
    EXPECT_EQ(Edges(placed), (std::vector<LONG>{10, 20, 110, 45}));
    TControl* unsized = NewControl(nullptr, u"Plain", 0);
    EXPECT_EQ(WindowEdges(GetHandle(unsized)), system);
    EXPECT_TRUE(!IsWindowVisible(unsized->Window) && unsized->DeferredShow);
    EXPECT_TRUE(unsized->CreateWnd() && IsWindowVisible(unsized->Window) && !unsized->DeferredShow);
    Release(unsized);

    HICON mainIcon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    EXPECT_TRUE(mainIcon != nullptr && Applet->Icon == mainIcon);
    EXPECT_TRUE(form->Icon != nullptr && form->Icon != mainIcon) << "a copy of its own";
    EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(form->Icon));
    HMENU menu = GetSystemMenu(Applet->Window, FALSE);
    for (UINT gone : {SC_MAXIMIZE, SC_MOVE, SC_SIZE}) EXPECT_EQ(GetMenuState(menu, gone, 0), ~0u);
    EXPECT_EQ(GetMenuState(menu, SC_RESTORE, 0) & MF_GRAYED, static_cast<UINT>(MF_GRAYED));
    ReleaseAll();
}

TEST(Windows, MessagesAreDispatchedAnsweredReflectedAndPosted) {
    TControl* form = BuildStartupObjects();
    TControl* child = NewChild(form, {0, 0, 20, 20});
    AddMessageHandler(child, [](TControl*, TMessage& message, LRESULT& result) {
        if (message.Message < 0xB000) return false;
        calls.push_back(std::u16string(1, static_cast<char16_t>(message.Message)));
        result = static_cast<LRESULT>(message.WParam + 1);
        return true;
    });
    HWND window = GetHandle(form);
    form->DefaultWndProc = &RecordingDefault;
    EXPECT_EQ(SendMessageW(window, WM_NOTIFYFORMAT, 0, NF_REQUERY), NFR_UNICODE);
    auto sender = reinterpret_cast<LPARAM>(child->Window);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 41, sender), 42);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, 99, sender), 100);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"\xB005", u"\xBD38"}));

    calls.clear();
    AddMessageHandler(form, &Oldest, true);
    AddMessageHandler(form, &Handling);
    AddMessageHandler(form, &Newest, true);
    AddMessageHandler(form, &Newest);
    EXPECT_EQ(SendMessageW(window, WM_APP, 0, 0), 7);
    Quitting = true;
    EXPECT_EQ(SendMessageW(window, WM_APP, 0, 0), 0);
    Quitting = false;
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"newest", u"handling", u"newest", u"oldest"}));

    MSG posted{};
    EXPECT_EQ(SendMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0), 0);
    EXPECT_TRUE(PeekMessageW(&posted, Applet->Window, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_REMOVE));
    SendMessageW(Applet->Window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(PeekMessageW(&posted, window, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    SendMessageW(GetHandle(CreateForm(Applet, u"Second")), WM_CLOSE, 0, 0);
    EXPECT_FALSE(Quitting) << "only the main form's Close ends the application";

    SetVisible(form, true);
    SetFocus(child->Window);
    ASSERT_EQ(GetFocus(), child->Window);
    defaults.clear();
    child->DefaultWndProc = &RecordingDefault;
    form->DialogKeyHook = [](TControl*, WPARAM key, bool keyUp) {
        return key == VK_ESCAPE && !keyUp;
    };
    EXPECT_EQ(SendMessageW(child->Window, WM_CHAR, VK_TAB, 0), 0);
    for (UINT message : {WM_CHAR, WM_KEYDOWN, WM_KEYUP})
        SendMessageW(child->Window, message, VK_ESCAPE, 0);
    SendMessageW(window, WM_KEYDOWN, 'C', 0);
    EXPECT_EQ(defaults,
              (std::vector<std::pair<UINT, WPARAM>>{{WM_CHAR, VK_ESCAPE}, {WM_KEYUP, VK_ESCAPE}}));
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Quitting && PeekMessageW(&posted, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    ReleaseAll();
}

TEST(Windows, CaptionVisibilityAndBoundsReachTheWindow) {
    TControl* form = BuildStartupObjects();
    HWND window = GetHandle(form);
    SetCaption(form, u"Neu");
    SetWindowTextW(window, L"Au\u00DFen");
    EXPECT_EQ(GetCaption(form), u"Au\u00DFen");
    SetVisible(form, true);
    EXPECT_TRUE(IsWindowVisible(window));
    Hide(form);
    EXPECT_FALSE(IsWindowVisible(window));
    RECT current = GetBounds(form);
    SetBounds(form, {current.left + 30, current.top, current.right + 30, current.bottom});
    EXPECT_EQ(form->PositionSet, kLeftSet);
    EXPECT_EQ(WindowEdges(window),
              Edges({current.left + 30, current.top, current.right + 30, current.bottom}));
    form->BackgroundColor = 0x00336699;
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP canvas = CreateCompatibleBitmap(screen, 20, 20);
    ReleaseDC(nullptr, screen);
    SelectObject(dc, canvas);
    SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    EXPECT_EQ(GetPixel(dc, 5, 5), 0x00336699u) << "the form's background handler filled it";
    const HBRUSH brush = form->BackgroundBrush;
    const HICON icon = form->Icon;
    ReleaseAll();
    ICONINFO info{};
    EXPECT_FALSE(IsWindow(window) || GetObjectType(brush) != 0 || GetIconInfo(icon, &info));
    DeleteDC(dc);
    DeleteObject(canvas);
}

// A control's handlers may destroy windows, close forms and fail creation;
// no control may be used after it was freed, or freed while a reference
// to it is held.
TEST(Windows, ControlsOutliveWhatTheirHandlersDo) {
    Applet = CreateApplet(u"Tapwright");
    CreateForm(Applet, u"Main");
    TControl* form = CreateForm(Applet, u"Second");
    TControl* button = NewChild(form, {0, 0, 20, 20});
    AddMessageHandler(button, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == 0xB005) SendMessageW(self->Parent->Window, WM_CLOSE, 0, 0);
        return false;
    });
    HWND window = GetHandle(form);
    SendMessageW(window, WM_COMMAND, 0, reinterpret_cast<LPARAM>(button->Window));
    EXPECT_FALSE(Freed(button) || Freed(form) || IsWindow(form->Window));

    TControl* outside = NewControl(nullptr, u"Outside", 0);
    TControl* owned = CreateForm(outside, u"Owned");
    SendMessageW(GetHandle(owned), WM_SETFOCUS, 0, 0);
    ASSERT_EQ(Applet->FocusedChild, owned) << "a form records itself with the applet";
    Release(outside);
    EXPECT_TRUE(Freed(owned) && Applet->FocusedChild != owned);

    TControl* failing = NewControl(nullptr, u"Plain", 0);
    AddMessageHandler(failing, [](TControl*, TMessage& message, LRESULT& result) {
        if (message.Message != WM_CREATE) return false;
        SendMessageW(message.Window, WM_DESTROY, 0,
                     0);  // as Windows does when creation fails; Wine does not
        result = -1;
        return true;
    });
    EXPECT_EQ(GetHandle(failing), nullptr);
    EXPECT_TRUE(Freed(failing)) << "the window's reference went with it";

    TControl* plain = NewControl(nullptr, u"Plain", 0);
    window = GetHandle(plain);
    AddMessageHandler(plain, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == WM_APP)
            calls.push_back(IsWindow(self->Window) ? u"older runs on" : u"gone");
        return false;
    });
    AddMessageHandler(plain, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == WM_APP) Release(self);
        return false;
    });
    SendMessageW(window, WM_APP, 0, 0);
    EXPECT_TRUE(calls == std::vector<std::u16string>{u"older runs on"} && Freed(plain) &&
                !IsWindow(window));
    ReleaseAll();
}

TEST(FormatWide, RendersIntegersAndTextWithinItsLimits) {
    EXPECT_EQ(FormatWide(u"%d.%d.%d.%d", {65535, 0, 10, 200}), u"65535.0.10.200");
    const char16_t* wide = u"w\u00E9";
    EXPECT_EQ(FormatWide(u"%d[%s][%s][%s][%s]", {int32_t{-7}, "ansi", std::string("ab\0cd", 5),
                                                 wide, std::u16string(u"\uD0ED")}),
              u"-7[ansi][ab][w\u00E9][\uD0ED]");
    for (auto arguments : {std::vector<FormatArgument>{},
                           {1, true},
                           {1, 2.5},
                           {static_cast<const void*>(nullptr)}}) {
        EXPECT_EQ(FormatWide(u"%d %d", arguments), u"");
    }
    EXPECT_GE(FormatWide(u"%s", {std::u16string(5000, u'x')}).size(), kMaxFormattedLength - 1);
    std::vector<FormatArgument> many(kMaxFormatArguments, FormatArgument{int32_t{4}});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"44");
    many.push_back(int32_t{4});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"");
}

}  // namespace
