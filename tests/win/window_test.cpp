#include "common/win32.h"

#include <winternl.h>

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "window/control.h"

namespace {

constexpr UINT kProbe = WM_APP + 1;

std::vector<std::u16string> calls;
std::vector<std::pair<UINT, WPARAM>> defaults;    // what reached default processing
std::vector<std::pair<UINT, WPARAM>> afterwards;  // what the after-message hook saw
std::vector<LPARAM> iconsSent;
std::vector<UINT> creation;

std::vector<LONG> Edges(const RECT& rect) {
    return {rect.left, rect.top, rect.right, rect.bottom};
}

std::vector<LONG> WindowEdges(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    return Edges(rect);
}

std::u16string WindowClassName(HWND window) {
    wchar_t name[256];
    return FromWide(name, static_cast<size_t>(GetClassNameW(window, name, 256)));
}

LRESULT CALLBACK RecordingDefault(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kProbe || message == WM_COMMAND ||
        (message >= WM_KEYDOWN && message <= WM_SYSDEADCHAR)) {
        defaults.emplace_back(message, wParam);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void RecordAfterwards(TControl*, TMessage& message, LRESULT&) {
    if (message.Message >= WM_KEYDOWN && message.Message <= WM_SYSDEADCHAR) {
        afterwards.emplace_back(message.Message, message.WParam);
    }
}

bool RecordCreation(TControl*, TMessage& message, LRESULT&) {
    if (message.Message == WM_NCCREATE || message.Message == WM_CREATE) {
        creation.push_back(message.Message);
    }
    if (message.Message == WM_SETICON) {
        iconsSent.push_back(message.LParam);
    }
    return false;
}

BOOL CALLBACK CountChild(HWND, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    return TRUE;
}

BOOL CALLBACK CountTopLevel(HWND window, LPARAM count) {
    ++*reinterpret_cast<int*>(count);
    EnumChildWindows(window, &CountChild, count);
    return TRUE;
}

int CountThreadWindows() {
    int count = 0;
    EnumThreadWindows(GetCurrentThreadId(), &CountTopLevel, reinterpret_cast<LPARAM>(&count));
    return count;
}

// Wine's GetGuiResources is a stub that answers 0 for both kinds. Its GDI
// handle table, which the PEB points to as on Windows, holds this process's
// objects only, so there the used entries are the count; the USER count falls
// back to this thread's windows, and icons are checked one by one.
struct GdiHandleEntry {
    uint64_t Object;
    uint32_t Owner;
    uint16_t Unique;
    uint8_t Type;
    uint8_t Flags;
    uint64_t UserAddress;
};
constexpr size_t kPebGdiHandleTable = 0xF8;
constexpr int kGdiHandleSlots = 0x10000;

std::vector<int> CountGuiObjects() {
    int gdi = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS));
    int user = static_cast<int>(GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS));
    if (gdi == 0) {
        using GetPeb = PPEB(WINAPI*)();
        auto currentPeb = reinterpret_cast<GetPeb>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetCurrentPeb")));
        auto peb = reinterpret_cast<const uint8_t*>(currentPeb());
        auto table = *reinterpret_cast<const GdiHandleEntry* const*>(peb + kPebGdiHandleTable);
        for (int i = 0; i < kGdiHandleSlots; ++i) gdi += table[i].Type != 0 ? 1 : 0;
    }
    if (user == 0) {
        user = CountThreadWindows();
    }
    return {gdi, user};
}

TControl* NewChild(TControl* parent, const RECT& bounds) {
    TControl* child = NewControl(parent, u"Panel", 0);
    child->ChildControl = 1;
    child->Style = WS_CHILD | WS_VISIBLE;
    child->Bounds = bounds;
    return child;
}

class WindowTest : public testing::Test {
  protected:
    void SetUp() override {
        calls.clear();
        defaults.clear();
        afterwards.clear();
        iconsSent.clear();
        creation.clear();
    }
    void TearDown() override {
        Release(Applet);
        Applet = nullptr;
        AppletMode = false;
        Quitting = false;
        MSG leftOver;
        while (PeekMessageW(&leftOver, nullptr, 0, 0, PM_REMOVE)) {
        }
        EXPECT_EQ(KindCache[0], nullptr) << "a control outlived the applet";
        EXPECT_EQ(CountThreadWindows(), 0) << "a window outlived its control";
    }

    // The start-up sequence's own calls, in its order.
    static TControl* BuildStartupObjects() {
        Applet = CreateApplet(u"Tapwright");
        Hide(Applet);
        TControl* form = SetSize(CreateForm(Applet, u"Tapwright"), 240, 40);
        SetClassName(form, u"SvcTapwright");
        Hide(form);
        return form;
    }
};

TEST_F(WindowTest, ClassesAreNamedAfterTheControlAndRegisteredOncePerName) {
    TControl* form = BuildStartupObjects();
    HWND window = GetHandle(form);
    ASSERT_TRUE(window != nullptr && Applet->Window != nullptr);
    EXPECT_EQ(GetWindow(window, GW_OWNER), Applet->Window);
    EXPECT_EQ(WindowClassName(Applet->Window), u"obj_App");
    EXPECT_EQ(WindowClassName(window), u"SvcTapwright");
    EXPECT_EQ(GetClassLongW(Applet->Window, GCL_STYLE), 0u) << "CS_OWNDC is masked off";
    EXPECT_EQ(GetClassLongW(window, GCL_STYLE), static_cast<DWORD>(CS_DBLCLKS));
    EXPECT_EQ(WindowClassName(GetHandle(CreateForm(Applet, u"Plain"))), u"obj_Form");

    // The base-class lookup of the second one finds the layer's own class.
    TControl* second = CreateForm(Applet, u"Second");
    SetClassName(second, u"SvcTapwright");
    ASSERT_NE(GetHandle(second), nullptr) << "a second registration of the name fails";
    EXPECT_EQ(GetClassLongW(second->Window, GCW_ATOM), GetClassLongW(window, GCW_ATOM));
    EXPECT_EQ(second->DefaultWndProc, nullptr);
    EXPECT_EQ(GetWindowTextLengthW(second->Window), 6) << "default processing is not the layer's";

    TControl* named = CreateForm(Applet, u"Named");
    SetClassName(named, std::u16string(70, u'N'));
    EXPECT_EQ(WindowClassName(GetHandle(named)), std::u16string(63, u'N'));
    TControl* label = NewControl(named, u"STATIC", 0);
    label->ChildControl = 1;
    label->Style = WS_CHILD;
    ASSERT_TRUE(label->CreateWnd());
    WNDCLASSW base{};
    GetClassInfoW(nullptr, L"STATIC", &base);
    EXPECT_EQ(WindowClassName(label->Window), u"obj_STATIC");
    EXPECT_EQ(label->DefaultWndProc, base.lpfnWndProc);
    EXPECT_EQ(GetClassLongW(label->Window, GCL_CBWNDEXTRA), static_cast<DWORD>(base.cbWndExtra));
}

TEST_F(WindowTest, WindowsAreCreatedWhereTheBoundsOrTheSystemPlaceThem) {
    HWND reference =
        CreateWindowExW(0, L"STATIC", L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                        CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, nullptr, nullptr);
    RECT system{};
    GetWindowRect(reference, &system);
    DestroyWindow(reference);

    TControl* form = BuildStartupObjects();
    EXPECT_EQ(WindowEdges(GetHandle(form)),
              Edges({system.left, system.top, system.left + 240, system.top + 40}));
    TControl* child = NewChild(form, {10, 20, 110, 45});
    ASSERT_TRUE(child->CreateWnd());
    RECT placed{};
    GetWindowRect(child->Window, &placed);
    MapWindowPoints(nullptr, form->Window, reinterpret_cast<POINT*>(&placed), 2);
    EXPECT_EQ(Edges(placed), Edges({10, 20, 110, 45}));

    TControl* unsized = NewControl(nullptr, u"Plain", 0);
    TControl* unmoved = NewControl(nullptr, u"Plain", 0);
    unmoved->Bounds = {50, 60, 290, 100};
    TControl* moved = NewControl(nullptr, u"Plain", 0);
    SetBounds(moved, {50, 60, 290, 100});
    EXPECT_EQ(WindowEdges(GetHandle(unsized)), Edges(system));
    EXPECT_EQ(WindowEdges(GetHandle(unmoved)),
              Edges({system.left, system.top, system.left + 240, system.top + 40}));
    EXPECT_EQ(WindowEdges(GetHandle(moved)), Edges({50, 60, 290, 100}));

    EXPECT_TRUE(!IsWindowVisible(unsized->Window) && unsized->DeferredShow);
    EXPECT_TRUE(unsized->CreateWnd());
    EXPECT_TRUE(IsWindowVisible(unsized->Window) && !unsized->DeferredShow);
    EXPECT_TRUE(form->CreateWnd());
    EXPECT_FALSE(IsWindowVisible(form->Window) || form->DeferredShow) << "hidden on purpose";
    for (TControl* control : {unsized, unmoved, moved}) Release(control);
}

TEST_F(WindowTest, TheAppletShowsMainIconAndEachFormACopyOfItsOwn) {
    TControl* form = BuildStartupObjects();
    GetHandle(form);
    HICON mainIcon = LoadIconW(GetModuleHandleW(nullptr), L"MAINICON");
    ASSERT_NE(mainIcon, nullptr);
    EXPECT_EQ(Applet->Icon, mainIcon);
    EXPECT_EQ(SendMessageW(Applet->Window, WM_GETICON, ICON_BIG, 0),
              reinterpret_cast<LRESULT>(mainIcon));
    EXPECT_TRUE(form->Icon != nullptr && form->Icon != mainIcon);
    EXPECT_EQ(SendMessageW(form->Window, WM_GETICON, ICON_BIG, 0),
              reinterpret_cast<LRESULT>(form->Icon));
    ICONINFO info{};
    ASSERT_TRUE(GetIconInfo(form->Icon, &info));
    BITMAP mask{};
    GetObjectW(info.hbmMask, sizeof mask, &mask);
    EXPECT_EQ(mask.bmWidth, 32);
    DeleteObject(info.hbmMask);
    DeleteObject(info.hbmColor);

    TControl* bare = CreateForm(Applet, u"Bare");
    bare->Icon = kNoIcon;
    AddMessageHandler(bare, &RecordCreation);
    TControl* child = NewChild(bare, {0, 0, 10, 10});
    AddMessageHandler(child, &RecordCreation);
    GetHandle(bare);
    EXPECT_EQ(iconsSent, std::vector<LPARAM>{0})
        << "one WM_SETICON, without icon; none to the child";
    EXPECT_EQ(creation, (std::vector<UINT>{WM_NCCREATE, WM_CREATE, WM_NCCREATE, WM_CREATE}))
        << "a control sees its window's creation";
}

TEST_F(WindowTest, TheAppletsSystemMenuLosesMaximizeMoveAndSize) {
    Applet = CreateApplet(u"Tapwright");
    HMENU menu = GetSystemMenu(GetHandle(Applet), FALSE);
    for (UINT gone : {SC_MAXIMIZE, SC_MOVE, SC_SIZE}) {
        EXPECT_EQ(GetMenuState(menu, gone, MF_BYCOMMAND), static_cast<UINT>(-1)) << gone;
    }
    EXPECT_EQ(GetMenuState(menu, SC_RESTORE, MF_BYCOMMAND) & (MF_GRAYED | 0x80000000u), MF_GRAYED);
    for (UINT kept : {SC_MINIMIZE, SC_CLOSE}) {
        EXPECT_EQ(GetMenuState(menu, kept, MF_BYCOMMAND) & (MF_GRAYED | 0x80000000u), 0u) << kept;
    }
    HMENU formMenu = GetSystemMenu(GetHandle(CreateForm(Applet, u"Form")), FALSE);
    EXPECT_NE(GetMenuState(formMenu, SC_MOVE, MF_BYCOMMAND), static_cast<UINT>(-1));
}

TEST_F(WindowTest, HandlersRunNewestFirstUntilOneHandlesTheMessage) {
    TControl* control = NewControl(nullptr, u"Plain", 0);
    control->DefaultWndProc = &RecordingDefault;
    HWND window = GetHandle(control);
    auto oldest = [](TControl*, TMessage& message, LRESULT&) {
        if (message.Message == kProbe) calls.push_back(u"oldest");
        return false;
    };
    auto handling = [](TControl*, TMessage& message, LRESULT& result) {
        if (message.Message != kProbe) return false;
        calls.push_back(u"handling");
        result = 7;
        return true;
    };
    auto newest = [](TControl*, TMessage& message, LRESULT&) {
        if (message.Message == kProbe) calls.push_back(u"newest");
        return false;
    };
    AddMessageHandler(control, oldest, true);
    AddMessageHandler(control, handling);
    AddMessageHandler(control, newest, true);
    AddMessageHandler(control, newest);
    EXPECT_EQ(SendMessageW(window, kProbe, 0, 0), 7);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"newest", u"handling"}));
    EXPECT_TRUE(defaults.empty()) << "a handled message gets no default processing";

    calls.clear();
    Quitting = true;
    EXPECT_EQ(SendMessageW(window, kProbe, 0, 0), 0);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"newest", u"oldest"}));
    EXPECT_EQ(defaults.size(), 1u);
    Release(control);
}

TEST_F(WindowTest, AHandlerMayReleaseTheLastReferenceInTheMiddleOfADispatch) {
    TControl* control = NewControl(nullptr, u"Plain", 0);
    control->OnRelease = {[](void*, TRefObject*) { calls.push_back(u"destroyed"); }, nullptr};
    control->DefaultWndProc = &RecordingDefault;
    HWND window = GetHandle(control);
    AddMessageHandler(control, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == kProbe) {
            calls.push_back(IsWindow(self->Window) ? u"older runs on" : u"window gone");
        }
        return false;
    });
    AddMessageHandler(control, [](TControl* self, TMessage& message, LRESULT&) {
        if (message.Message == kProbe) {
            Release(self);
            calls.push_back(u"released");
        }
        return false;
    });
    EXPECT_EQ(SendMessageW(window, kProbe, 0, 0), 0);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"released", u"older runs on", u"destroyed"}));
    EXPECT_TRUE(defaults.empty()) << "nothing runs on the control once it is gone";
    EXPECT_FALSE(IsWindow(window));
}

TEST_F(WindowTest, BuiltInHandlingAnswersReflectsAndPosts) {
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
    TControl* second = CreateForm(Applet, u"Second");
    HWND secondWindow = GetHandle(second);
    EXPECT_EQ(SendMessageW(window, WM_NOTIFYFORMAT, 0, NF_REQUERY), NFR_UNICODE);
    EXPECT_EQ(SendMessageW(window, WM_NOTIFYFORMAT, 0, NF_QUERY), 0);

    auto sender = reinterpret_cast<LPARAM>(child->Window);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 41, sender), 42);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORSTATIC, 99, sender), 100);
    EXPECT_EQ(SendMessageW(window, WM_CTLCOLORMSGBOX, 9, sender), 10);
    HWND foreign =
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD, 0, 0, 1, 1, window, nullptr, nullptr, nullptr);
    EXPECT_EQ(SendMessageW(window, WM_COMMAND, 43, reinterpret_cast<LPARAM>(foreign)), 0);
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"\xB005", u"\xBD38", u"\xBD32"}));
    EXPECT_EQ(defaults, (std::vector<std::pair<UINT, WPARAM>>{{WM_COMMAND, 43}}))
        << "a command from a window without a control gets default processing";

    MSG posted{};
    EXPECT_EQ(SendMessageW(window, WM_SYSCOMMAND, SC_MINIMIZE, 0), 0);
    ASSERT_TRUE(PeekMessageW(&posted, nullptr, WM_SYSCOMMAND, WM_SYSCOMMAND, PM_REMOVE));
    EXPECT_TRUE(posted.hwnd == Applet->Window && posted.wParam == SC_MINIMIZE);
    EXPECT_FALSE(IsIconic(window));
    EXPECT_EQ(SendMessageW(Applet->Window, WM_SYSCOMMAND, SC_CLOSE, 0), 0);
    ASSERT_TRUE(PeekMessageW(&posted, nullptr, WM_CLOSE, WM_CLOSE, PM_REMOVE));
    EXPECT_EQ(posted.hwnd, window) << "the applet's Close closes the main form";

    SendMessageW(secondWindow, WM_CLOSE, 0, 0);
    EXPECT_FALSE(IsWindow(secondWindow));
    EXPECT_TRUE(Applet->Children->Count == 1 && Applet->Children->Get(0) == form);
    EXPECT_FALSE(Quitting || PeekMessageW(&posted, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(Quitting && PeekMessageW(&posted, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_TRUE(!IsWindow(window) && Applet->Children->Count == 0);
}

TEST_F(WindowTest, KeysGoToTheFocusedControlAndTabIsSwallowed) {
    Applet = CreateApplet(u"Tapwright");
    TControl* form = CreateForm(Applet, u"Tapwright");
    SetSize(form, 240, 80);
    TControl* edit = NewChild(form, {10, 10, 100, 30});
    edit->DefaultWndProc = &RecordingDefault;
    edit->AfterMessageHook = &RecordAfterwards;
    form->DialogKeyHook = [](TControl* focused, WPARAM key, bool keyUp) {
        calls.push_back(GetClassName(focused) + (keyUp ? u" up" : u" down"));
        return key == VK_ESCAPE;
    };
    form->FocusedChild = edit;
    GetHandle(form);
    form->CreateWnd();
    form->DefaultWndProc = &RecordingDefault;
    ASSERT_EQ(Applet->FocusedChild, form) << "the form recorded itself when it got the focus";
    SetFocus(nullptr);
    SendMessageW(Applet->Window, WM_SETFOCUS, 0, 0);
    ASSERT_EQ(GetFocus(), edit->Window) << "applet, then form, pass the focus on";

    EXPECT_EQ(SendMessageW(edit->Window, WM_CHAR, VK_TAB, 0), 0);
    SendMessageW(edit->Window, WM_CHAR, 'a', 0);
    BYTE keys[256];
    GetKeyboardState(keys);
    keys[VK_CONTROL] = 0x80;
    SetKeyboardState(keys);
    SendMessageW(edit->Window, WM_CHAR, VK_TAB, 0);
    keys[VK_CONTROL] = 0;
    SetKeyboardState(keys);
    SendMessageW(edit->Window, WM_KEYDOWN, VK_ESCAPE, 0);
    SendMessageW(edit->Window, WM_KEYUP, 'B', 0);
    EXPECT_EQ(SendMessageW(form->Window, WM_KEYDOWN, 'C', 0), 0) << "the form has no focus";
    EXPECT_EQ(defaults, (std::vector<std::pair<UINT, WPARAM>>{
                            {WM_CHAR, 'a'}, {WM_CHAR, VK_TAB}, {WM_KEYUP, 'B'}}));
    EXPECT_EQ(
        afterwards,
        (std::vector<std::pair<UINT, WPARAM>>{
            {WM_CHAR, 0}, {WM_CHAR, 'a'}, {WM_CHAR, VK_TAB}, {WM_KEYDOWN, 0}, {WM_KEYUP, 'B'}}));
    EXPECT_EQ(calls, (std::vector<std::u16string>{u"obj_Panel down", u"obj_Panel up"}));
}

TEST_F(WindowTest, CaptionVisibilityAndBoundsReachTheWindow) {
    TControl* form = BuildStartupObjects();
    HWND window = GetHandle(form);
    wchar_t text[16] = {};
    SetCaption(form, u"Neu");
    GetWindowTextW(window, text, 16);
    EXPECT_EQ(FromWide(text), u"Neu");
    SetWindowTextW(window, L"Au\u00DFen");
    EXPECT_EQ(GetCaption(form), u"Au\u00DFen");
    SetCaption(form, u"");
    EXPECT_EQ(GetWindowTextLengthW(window), 0);
    EXPECT_EQ(GetCaption(form), u"");
    form->CaptionNotReadBack = 1;
    SetWindowTextW(window, L"Unread");
    EXPECT_EQ(GetCaption(form), u"");

    SetVisible(form, true);
    EXPECT_TRUE(IsWindowVisible(window));
    Hide(form);
    EXPECT_FALSE(IsWindowVisible(window));

    AddMessageHandler(form, [](TControl*, TMessage& message, LRESULT&) {
        if (message.Message == WM_WINDOWPOSCHANGING) calls.push_back(u"moved");
        return false;
    });
    RECT current = GetBounds(form);
    EXPECT_EQ(Edges(current), WindowEdges(window));
    SetBounds(form, current);
    SetSize(form, -1, -1);
    EXPECT_TRUE(calls.empty() && form->PositionSet == 0);
    SetBounds(form, {current.left + 30, current.top, current.right + 30, current.bottom});
    EXPECT_EQ(calls.size(), 1u);
    EXPECT_EQ(form->PositionSet, kLeftSet);
    EXPECT_EQ(WindowEdges(window),
              Edges({current.left + 30, current.top, current.right + 30, current.bottom}));

    TControl* child = NewChild(form, {10, 20, 110, 45});
    ASSERT_TRUE(child->CreateWnd());
    EXPECT_EQ(Edges(GetBounds(child)), Edges({10, 20, 110, 45}));
    SetBounds(child, {5, 6, 55, 16});
    EXPECT_EQ(Edges(GetBounds(child)), Edges({5, 6, 55, 16}));
}

TEST_F(WindowTest, ReleasingTheAppletLeavesNoWindowIconOrBrushBehind) {
    HDC dc = CreateCompatibleDC(nullptr);
    BITMAPINFO format{};
    format.bmiHeader = {sizeof(BITMAPINFOHEADER), 300, 100, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP canvas = CreateDIBSection(dc, &format, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(dc, canvas);
    auto buildPainted = [dc]() {
        TControl* form = BuildStartupObjects();
        form->BackgroundColor = 0x00336699;
        NewChild(form, {0, 0, 10, 10});
        SendMessageW(GetHandle(form), WM_ERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
        return form;
    };
    // Once through first: the system keeps what the first windows made it load.
    buildPainted();
    Release(Applet);
    const std::vector<int> before = CountGuiObjects();

    TControl* form = buildPainted();
    EXPECT_EQ(GetPixel(dc, 5, 5), 0x00336699u) << "the form's background handler filled it";
    HICON sharedIcon = static_cast<HICON>(CopyImage(GetIcon(Applet), IMAGE_ICON, 0, 0, 0));
    TControl* sharing = CreateForm(Applet, u"Sharing");
    sharing->Icon = sharedIcon;
    sharing->IconShared = 1;
    GetHandle(sharing);
    const std::vector<HWND> windows = {Applet->Window, form->Window,
                                       static_cast<TControl*>(form->Children->Get(0))->Window,
                                       sharing->Window};
    const HBRUSH brush = form->BackgroundBrush;
    const HICON formIcon = form->Icon;
    EXPECT_EQ(GetObjectType(brush), static_cast<DWORD>(OBJ_BRUSH));
    EXPECT_NE(CountGuiObjects(), before);

    Release(Applet);
    EXPECT_EQ(Applet, nullptr) << "the applet's WM_DESTROY clears it";
    for (HWND window : windows) EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(GetObjectType(brush), 0u);
    ICONINFO info{};
    EXPECT_FALSE(GetIconInfo(formIcon, &info));
    ASSERT_TRUE(GetIconInfo(sharedIcon, &info)) << "a shared icon stays with its owner";
    DeleteObject(info.hbmMask);
    DeleteObject(info.hbmColor);
    DestroyIcon(sharedIcon);
    EXPECT_EQ(CountGuiObjects(), before);
    SelectObject(dc, previous);
    DeleteObject(canvas);
    DeleteDC(dc);
}

TEST_F(WindowTest, ChildrenNeedAParentWindowAndMoveWithTheirControl) {
    TControl* orphan = NewControl(nullptr, u"Orphan", 0);
    orphan->Style = WS_CHILD;
    EXPECT_FALSE(orphan->CreateWnd());
    WNDCLASSW unused{};
    EXPECT_TRUE(orphan->Window == nullptr &&
                !GetClassInfoW(GetModuleHandleW(nullptr), L"obj_Orphan", &unused));
    Release(orphan);

    Applet = CreateApplet(u"Tapwright");
    TControl* first = CreateForm(Applet, u"First");
    TControl* child = NewChild(first, {1, 2, 3, 4});
    GetHandle(first);
    TControl* second = CreateForm(Applet, u"Second");
    ASSERT_TRUE(child->Window != nullptr && second->Window == nullptr);
    SetParentControl(child, second);
    ASSERT_NE(second->Window, nullptr) << "the new parent's window is made for it";
    EXPECT_EQ(GetParent(child->Window), second->Window);
    EXPECT_EQ(second->Children->Get(0), child);
}

}  // namespace
