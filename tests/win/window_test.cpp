#include "common/win32.h"

#include <gtest/gtest.h>
#include <intrin.h>
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
void operator delete(void* block, size_t) noexcept { operator delete(block); }

namespace {

using Edges = std::vector<LONG>;
std::vector<std::u16string> calls;
std::vector<std::pair<UINT, WPARAM>> defaults;  // what reached default processing

bool Freed(TRefObject* object) { return object->RefCount == static_cast<int32_t>(0xDDDDDDDD); }
Edges EdgesOf(const RECT& r) { return {r.left, r.top, r.right, r.bottom}; }
Edges WindowEdges(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return EdgesOf(rect);
}
std::u16string ClassOf(HWND window) {
    wchar_t name[256];
    return FromWide(name, static_cast<size_t>(GetClassNameW(window, name, 256)));
}

// GDI and USER objects of this process. Wine's GetGuiResources answers 0: there the GDI handle
// table that the PEB points to holds this process's objects only (an icon's bitmaps among them),
// 24 bytes an entry with its type at byte 14, and the windows of this thread count.
std::pair<int, int> GuiObjects() {
    int gdi = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    int user = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    if (gdi == 0) {
        const auto* table = *reinterpret_cast<const uint8_t* const*>(__readgsqword(0x60) + 0xF8);
        for (int i = 0; table != nullptr && i < 0x10000; ++i) gdi += table[24 * i + 14] != 0;
    }
    const WNDENUMPROC count = [](HWND, LPARAM n) { return ++*reinterpret_cast<int*>(n); };
    if (user == 0) EnumThreadWindows(GetCurrentThreadId(), count, reinterpret_cast<LPARAM>(&user));
    return {gdi, user};
}

// Windows destroys a window whose WM_CREATE answers -1 inside CreateWindowExW, with WM_DESTROY
// and WM_NCDESTROY; Wine sends neither.
bool PlatformDestroysFailedWindows() {
    static bool destroyed = false;
    static const WNDCLASSW probe{0, [](HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        destroyed |= message == WM_DESTROY;
        return message == WM_CREATE ? -1 : DefWindowProcW(window, message, wParam, lParam);
    }, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, L"FailingProbe"};
    static const bool failed = RegisterClassW(&probe) && !CreateWindowExW(
        0, probe.lpszClassName, L"", 0, 0, 0, 9, 9, nullptr, nullptr, nullptr, nullptr);
    return failed && destroyed;
}

// Fails a window's creation as Windows does, sending the destroy only where the platform does
// not send it itself.
bool FailCreation(TControl*, TMessage& message, LRESULT& result) {
    if (message.Message != WM_CREATE) return false;
    if (!PlatformDestroysFailedWindows())
        for (UINT last : {WM_DESTROY, WM_NCDESTROY}) SendMessageW(message.Window, last, 0, 0);
    result = -1;
    return true;
}

LRESULT CALLBACK RecordingDefault(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= WM_KEYDOWN && message <= WM_CHAR) defaults.emplace_back(message, wParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

// Notes its name for a WM_APP; handling it, answers 7.
template <char16_t kName, bool kHandles>
bool Note(TControl*, TMessage& message, LRESULT& result) {
    if (message.Message != WM_APP) return false;
    calls.push_back(std::u16string(1, kName));
    result = 7;
    return kHandles;
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
    for (MSG left; PeekMessageW(&left, nullptr, 0, 0, PM_REMOVE);) continue;
    EXPECT_EQ(KindCache[0], nullptr) << "a control outlived the applet";
    calls.clear();
}

TEST(Controls, StartupSequenceLeavesTwoHiddenWindowlessObjects) {
    TControl* form = BuildStartupObjects();
    EXPECT_EQ(std::vector<uint32_t>({Applet->Style, Applet->ExStyle, form->Style, form->ExStyle,
                                     form->ClassStyle, form->TextColor, form->BackgroundColor}),
              std::vector<uint32_t>(
                  {0x80CA0000, 0x40000, 0x06CF0000, 0x10000, 0x28, 0x80000008, 0x8000000F}));
    EXPECT_TRUE(form->PositionSet == 0 && form->Parent == Applet &&
                Applet->Children->Get(0) == form && form->Kind == Applet->Kind);
    EXPECT_TRUE(Applet->Window == nullptr && form->Window == nullptr);
    EXPECT_EQ(GetCaption(form) + GetClassName(form) + GetClassName(Applet),
              u"TapwrightSvcTapwrightobj_App");
    EXPECT_TRUE(Applet->WindowCreatedHook == &AppletWindowCreated &&
                form->DispatchHook == &DispatchHandlers);
    TControl* second = CreateForm(Applet, u"2");
    EXPECT_TRUE(IsMainForm(form) && !IsMainForm(Applet) && !IsMainForm(second));
    WNDCLASSW unused{};
    EXPECT_FALSE(GetClassInfoW(GetModuleHandleW(nullptr), L"SvcTapwright", &unused));

    SetSize(SetSize(form, 0, 50), -1, -1);
    EXPECT_EQ(EdgesOf(form->Bounds), Edges({0, 0, 240, 50}));
    SetBounds(form, RECT{0, 0, 240, 50});
    EXPECT_EQ(form->PositionSet, 0);
    SetBounds(form, RECT{10, 0, 250, 50});
    EXPECT_EQ(form->PositionSet, kLeftSet);
    SetBounds(form, RECT{0, 5, 240, 55});
    EXPECT_EQ(EdgesOf(GetBounds(SetSize(form, 100, 0))), Edges({0, 5, 100, 55}));
    EXPECT_EQ(form->PositionSet, kLeftSet | kTopSet);
    form->DeferredShow = 1;
    SetVisible(form, true);
    Hide(form);
    EXPECT_TRUE(form->Style == 0x06CF0000 && !form->Visible && form->DeferredShow);
    SetClassName(second, std::u16string(u"Cut\0Off", 7));
    EXPECT_EQ(GetClassName(second), u"Cut");
    ReleaseAll({form, second});
}

TEST(Controls, ParentsHoldTheirChildrenAndForgetThemWhenDestroyed) {
    TControl* form = BuildStartupObjects();
    TControl* other = NewControl(nullptr, u"Other", 0);
    SetParentControl(form, Applet);  // nothing changes
    SetParentControl(form, other);
    EXPECT_TRUE(Applet->Children->Count == 0 && other->Children->Get(0) == form);
    TControl* panel = NewChild(form, {});
    TControl* button = NewChild(panel, {});
    form->FocusedChild = Applet->FocusedChild = button;
    for (TControl* control : {button, panel}) Release(control);
    EXPECT_TRUE(button->RefCount == 0 && panel->RefCount == 0) << "their parents hold them";
    SetParentControl(panel, nullptr);
    EXPECT_TRUE(Freed(panel) && Freed(button) && !form->FocusedChild && !Applet->FocusedChild);
    TControl* lone = CreateForm(nullptr, u"Lone");  // no parent to forget it on the way out
    Applet->FocusedChild = lone;
    Release(lone);
    EXPECT_TRUE(Freed(lone) && !Applet->FocusedChild);
    for (TControl* control : {form, other}) Release(control);
    EXPECT_TRUE(Freed(form) && Freed(other));
    ReleaseAll();
}

TEST(Windows, ClassesPlacementIconsCaptionAndBounds) {
    HWND reference = CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
        CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    const Edges system = WindowEdges(reference);
    DestroyWindow(reference);
    TControl* form = BuildStartupObjects();
    HWND window = GetHandle(form);
    EXPECT_EQ(WindowEdges(window), Edges({system[0], system[1], system[0] + 240, system[1] + 40}));
    EXPECT_EQ(GetWindow(window, GW_OWNER), Applet->Window);
    EXPECT_EQ(ClassOf(Applet->Window) + u"," + ClassOf(window), u"obj_App,SvcTapwright");
    EXPECT_EQ(GetClassLongW(Applet->Window, GCL_STYLE), 0u) << "CS_OWNDC is masked off";
    EXPECT_EQ(GetClassLongW(window, GCL_STYLE), static_cast<DWORD>(CS_DBLCLKS));
    TControl* second = CreateForm(Applet, u"Second");
    SetClassName(second, u"SvcTapwright");
    EXPECT_TRUE(GetHandle(second) != nullptr && second->DefaultWndProc == nullptr);
    EXPECT_EQ(GetWindowTextLengthW(second->Window), 6) << "default processing is not the layer's";
    TControl* child = NewChild(second, {10, 20, 110, 45});
    ASSERT_TRUE(second->CreateWnd()) << "a new child's window comes with its parent's next call";
    EXPECT_EQ(EdgesOf(GetBounds(child)), Edges({10, 20, 110, 45}));
    EXPECT_EQ(ClassOf(child->Window), u"obj_Panel");
    TControl* unsized = NewControl(nullptr, u"Plain", 0);
    EXPECT_EQ(WindowEdges(GetHandle(unsized)), system);
    EXPECT_TRUE(!IsWindowVisible(unsized->Window) && unsized->DeferredShow);
    EXPECT_TRUE(unsized->CreateWnd() && IsWindowVisible(unsized->Window) && !unsized->DeferredShow);
    Release(unsized);

    HICON mainIcon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    EXPECT_TRUE(mainIcon != nullptr && Applet->Icon == mainIcon);
    EXPECT_TRUE(form->Icon != nullptr && form->Icon != mainIcon) << "a copy of its own";
    EXPECT_EQ(SendMessageW(window, WM_GETICON, ICON_BIG, 0), reinterpret_cast<LRESULT>(form->Icon));

    SetWindowTextW(window, L"Au\u00DFen");
    EXPECT_EQ(GetCaption(form), u"Au\u00DFen");
    SetVisible(form, true);
    EXPECT_TRUE(IsWindowVisible(window));
    Hide(form);
    EXPECT_FALSE(IsWindowVisible(window));
    const RECT moved{system[0] + 30, system[1], system[0] + 270, system[1] + 40};
    SetBounds(form, moved);
    EXPECT_TRUE(form->PositionSet == kLeftSet && WindowEdges(window) == EdgesOf(moved));
    form->BackgroundColor = 0x00336699;
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO format{{sizeof(BITMAPINFOHEADER), 20, 20, 1, 32, BI_RGB, 0, 0, 0, 0, 0}};
    void* bits = nullptr;
    SelectObject(dc, CreateDIBSection(dc, &format, DIB_RGB_COLORS, &bits, nullptr, 0));
    SendMessageW(window, WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    EXPECT_EQ(GetPixel(dc, 5, 5), 0x00336699u) << "the form's background handler filled it";
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
    EXPECT_EQ(SendMessageW(window, WM_NOTIFYFORMAT, 0, NF_REQUERY), NFR_UNICODE);
    auto sender = reinterpret_cast<LPARAM>(child->Window);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 41, sender), 42);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, 99, sender), 100);
    AddMessageHandler(form, &Note<u'o', false>, true);  // the oldest, and run while quitting
    AddMessageHandler(form, &Note<u'h', true>);
    AddMessageHandler(form, &Note<u'n', false>, true);
    AddMessageHandler(form, &Note<u'n', false>);  // a handler is kept once
    EXPECT_EQ(SendMessageW(window, WM_APP, 0, 0), 7);
    Quitting = true;
    EXPECT_EQ(SendMessageW(window, WM_APP, 0, 0), 0);
    Quitting = false;
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"\xB005", u"\xBD38", u"n", u"h", u"n", u"o"}));

    MSG posted{};
    SendMessageW(Applet->Window, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(PeekMessageW(&posted, window, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    SendMessageW(GetHandle(CreateForm(Applet, u"Second")), WM_CLOSE, 0, 0);
    EXPECT_FALSE(Quitting) << "only the main form's Close ends the application";

    SetVisible(form, true);
    SetFocus(child->Window);
    ASSERT_EQ(GetFocus(), child->Window);
    child->DefaultWndProc = &RecordingDefault;
    form->DialogKeyHook = [](TControl*, WPARAM key, bool keyUp) { return key == 27 && !keyUp; };
    EXPECT_EQ(SendMessageW(child->Window, WM_CHAR, VK_TAB, 0), 0);
    for (UINT message : {WM_CHAR, WM_KEYDOWN, WM_KEYUP})
        SendMessageW(child->Window, message, VK_ESCAPE, 0);
    SendMessageW(window, WM_KEYDOWN, 'C', 0);  // the form has no focus
    EXPECT_EQ(defaults, (decltype(defaults){{WM_CHAR, VK_ESCAPE}, {WM_KEYUP, VK_ESCAPE}}));
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Quitting && PeekMessageW(&posted, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    ReleaseAll();
}

// A control's handlers may close forms and destroy windows: no control may be used after it was
// freed, or freed while a reference is held; nor may a windowless applet take a dying window.
TEST(Windows, ControlsOutliveWhatTheirHandlersDo) {
    Applet = CreateApplet(u"Tapwright");
    // The last messages of a window whose control is gone find no control, and go to the applet.
    DestroyWindow(GetHandle(NewControl(nullptr, u"Plain", 0)));
    EXPECT_EQ(Applet->Window, nullptr);
    EXPECT_TRUE(IsWindow(GetHandle(CreateForm(Applet, u"Main"))));
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

    TControl* plain = NewControl(nullptr, u"Plain", 0);
    window = GetHandle(plain);
    AddMessageHandler(plain, &Note<u'o', false>);
    AddMessageHandler(plain, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == WM_APP) Release(self);
        return false;
    });
    SendMessageW(window, WM_APP, 0, 0);
    EXPECT_EQ(calls, std::vector<std::u16string>{u"o"}) << "an older handler still runs";
    EXPECT_TRUE(Freed(plain) && !IsWindow(window));
    ReleaseAll();
}

// A window that was never made stands for no reference; nothing that a form, its brush and icon or
// a failed creation made outlives them (the first round warms the system up).
TEST(Windows, AFailedCreationTakesNoReferenceAndNothingOutlivesItsControl) {
    std::pair<int, int> left[2], built;
    for (std::pair<int, int>& objects : left) {
        TControl* form = BuildStartupObjects();
        HDC dc = CreateCompatibleDC(nullptr);
        SendMessageW(GetHandle(form), WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        DeleteDC(dc);
        TControl* child = NewChild(form, {0, 0, 20, 20});
        AddMessageHandler(child, &FailCreation);
        for (int retry = 0; retry < 3; ++retry) form->CreateWnd();  // each retries the child
        built = GuiObjects();
        ASSERT_TRUE(!Freed(child) && child->RefCount == 2) << "its creator and its parent hold it";
        TControl* top = NewControl(nullptr, u"Plain", 0);
        AddMessageHandler(top, &FailCreation);
        TControl* inside = NewChild(top, {});
        EXPECT_EQ(GetHandle(top), nullptr);
        ASSERT_TRUE(!Freed(top) && top->RefCount == 0 && top->Icon == nullptr && !child->Window);
        for (TControl* control : {top, inside, child}) Release(control);
        EXPECT_TRUE(Freed(top) && Freed(inside) && child->RefCount == 0);
        ReleaseAll();
        objects = GuiObjects();
    }
    EXPECT_EQ(left[1], left[0]) << "an icon, brush or window outlived its control";
    EXPECT_TRUE(built.first > left[1].first && built.second > left[1].second) << "counts nothing";
}

TEST(FormatWide, RendersIntegersAndTextWithinItsLimits) {
    EXPECT_EQ(FormatWide(u"%d.%d.%d.%d", {65535, 0, 10, 200}), u"65535.0.10.200");
    EXPECT_EQ(FormatWide(u"%d[%s][%s][%s]", {int32_t{-7}, "ansi", std::string("ab\0cd", 5),
                                             std::u16string(u"\uD0ED")}),
              u"-7[ansi][ab][\uD0ED]");
    for (auto arguments : {std::vector<FormatArgument>{}, {1, true}, {1, 2.5}})
        EXPECT_EQ(FormatWide(u"%d %d", arguments), u"");
    EXPECT_GE(FormatWide(u"%s", {std::u16string(5000, u'x')}).size(), kMaxFormattedLength - 1);
    std::vector<FormatArgument> many(kMaxFormatArguments, FormatArgument{int32_t{4}});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"44");
    many.push_back(int32_t{4});
    EXPECT_EQ(FormatWide(u"%d%d", many), u"");
}

}  // namespace
