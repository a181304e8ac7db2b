// Finds the message boxes on the desktop, reports what they show, and
// presses their buttons: the tests' hands and eyes. Reports are JSON on
// stdout.
//
//   e2e_box list [--pid P]              {"boxes":[...]}: every box now (of process P)
//   e2e_box wait --pid P --timeout MS   {"boxes":[...],"ended":B}: returns as soon as
//                                       process P shows a box or has ended
//   e2e_box press --hwnd H --button ID  clicks the button, waits for the box to go
#include "common/win32.h"

#include "common/scoped_win.h"
#include "tests/e2e/helpers/helper_io.h"
#include "tests/e2e/helpers/report_text.h"

#include <string>
#include <vector>

namespace {

// The control id of a message box's text, in Windows and Wine alike.
constexpr int kTextId = 0xFFFF;

std::u16string WindowText(HWND window) {
    const int length = GetWindowTextLengthW(window);
    std::vector<wchar_t> buffer(length + 2);
    const int count = GetWindowTextW(window, buffer.data(), static_cast<int>(buffer.size()));
    return FromWide(buffer.data(), count);
}

std::u16string ClassOf(HWND window) {
    wchar_t name[256];
    const int count = GetClassNameW(window, name, 256);
    return FromWide(name, count > 0 ? count : 0);
}

struct Button {
    int id;
    std::u16string text;
};

struct BoxView {
    HWND window;
    DWORD pid;
    std::u16string caption;
    std::u16string text;
    int text_id;
    std::vector<Button> buttons;
    RECT rect;
    LONG style;
    LONG ex_style;
    HWND owner;
    bool foreground;
};

BOOL CALLBACK CollectButton(HWND child, LPARAM context) {
    auto* buttons = reinterpret_cast<std::vector<Button>*>(context);
    if (ClassOf(child) == u"Button" && IsWindowVisible(child)) {
        buttons->push_back({GetDlgCtrlID(child), WindowText(child)});
    }
    return TRUE;
}

// The text is read with GetDlgItemTextW, the way a user's tool would; its
// length is taken from the control first, so that no buffer cuts it short.
void ReadText(HWND box, BoxView* view) {
    HWND item = GetDlgItem(box, kTextId);
    if (item == nullptr) {
        view->text_id = -1;
        return;
    }
    const int length = GetWindowTextLengthW(item);
    std::vector<wchar_t> buffer(length + 2);
    const UINT count =
        GetDlgItemTextW(box, kTextId, buffer.data(), static_cast<int>(buffer.size()));
    view->text = FromWide(buffer.data(), count);
    view->text_id = kTextId;
}

BoxView Inspect(HWND box) {
    BoxView view{};
    view.window = box;
    GetWindowThreadProcessId(box, &view.pid);
    view.caption = WindowText(box);
    ReadText(box, &view);
    EnumChildWindows(box, CollectButton, reinterpret_cast<LPARAM>(&view.buttons));
    GetWindowRect(box, &view.rect);
    view.style = GetWindowLongW(box, GWL_STYLE);
    view.ex_style = GetWindowLongW(box, GWL_EXSTYLE);
    view.owner = GetWindow(box, GW_OWNER);
    view.foreground = GetForegroundWindow() == box;
    return view;
}

std::string Json(const BoxView& view) {
    std::string buttons = "[";
    for (size_t i = 0; i < view.buttons.size(); ++i) {
        if (i > 0) buttons += ",";
        buttons += "{\"id\":" + std::to_string(view.buttons[i].id) +
                   ",\"text\":" + JsonString(view.buttons[i].text) + "}";
    }
    buttons += "]";
    const RECT& r = view.rect;
    return "{\"hwnd\":" + std::to_string(reinterpret_cast<uintptr_t>(view.window)) +
           ",\"pid\":" + std::to_string(view.pid) + ",\"caption\":" + JsonString(view.caption) +
           ",\"text\":" + JsonString(view.text) + ",\"text_id\":" + std::to_string(view.text_id) +
           ",\"buttons\":" + buttons + ",\"rect\":[" + std::to_string(r.left) + "," +
           std::to_string(r.top) + "," + std::to_string(r.right) + "," + std::to_string(r.bottom) +
           "],\"style\":" + std::to_string(static_cast<DWORD>(view.style)) +
           ",\"ex_style\":" + std::to_string(static_cast<DWORD>(view.ex_style)) +
           ",\"topmost\":" + ((view.ex_style & WS_EX_TOPMOST) ? "true" : "false") +
           ",\"owner\":" + std::to_string(reinterpret_cast<uintptr_t>(view.owner)) +
           ",\"foreground\":" + (view.foreground ? "true" : "false") + "}";
}

struct Search {
    DWORD pid;  // 0: any process
    std::vector<HWND> found;
};

// A dialog counts once it is visible and has its buttons: by then the box's
// initialisation, which sets the text, has run.
BOOL CALLBACK CollectBox(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    if (!IsWindowVisible(window) || ClassOf(window) != u"#32770") return TRUE;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (search->pid != 0 && pid != search->pid) return TRUE;
    std::vector<Button> buttons;
    EnumChildWindows(window, CollectButton, reinterpret_cast<LPARAM>(&buttons));
    if (!buttons.empty()) search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> FindBoxes(DWORD pid) {
    Search search{pid, {}};
    EnumWindows(CollectBox, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

std::string JsonList(const std::vector<HWND>& boxes) {
    std::string out = "[";
    for (size_t i = 0; i < boxes.size(); ++i) {
        if (i > 0) out += ",";
        out += Json(Inspect(boxes[i]));
    }
    return out + "]";
}

// The caller's runner keeps a handle to the watched process until it has
// reported, so its id cannot pass to another process meanwhile; only this
// helper itself could have inherited it, if the process ended before it
// started.
bool HasEnded(DWORD pid) {
    if (pid == GetCurrentProcessId()) return true;
    ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    return !process || WaitForSingleObject(process.get(), 0) == WAIT_OBJECT_0;
}

int Wait(int argc, wchar_t** argv) {
    const DWORD timeout = NumberArgument(argc, argv, u"--timeout", 5000);
    const DWORD pid = NumberArgument(argc, argv, u"--pid", 0);
    const ULONGLONG start = GetTickCount64();
    std::vector<HWND> boxes = FindBoxes(pid);
    bool ended = pid != 0 && HasEnded(pid);
    while (boxes.empty() && !ended && GetTickCount64() - start < timeout) {
        Sleep(5);
        boxes = FindBoxes(pid);
        ended = pid != 0 && HasEnded(pid);
    }
    PrintUtf8("{\"boxes\":" + JsonList(boxes) + ",\"ended\":" + (ended ? "true" : "false") + "}\n");
    return 0;
}

// The click goes in as the button's own WM_COMMAND, exactly what a mouse
// click on it would send; the box is then given a bounded time to close.
int Press(int argc, wchar_t** argv) {
    const uintptr_t value = NumberArgument(argc, argv, u"--hwnd", 0);
    const int id = static_cast<int>(NumberArgument(argc, argv, u"--button", IDOK));
    HWND box = reinterpret_cast<HWND>(value);
    if (!IsWindow(box)) {
        PrintUtf8("{\"pressed\":false,\"closed\":true}\n");
        return 1;
    }
    const BOOL posted = PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
                                     reinterpret_cast<LPARAM>(GetDlgItem(box, id)));
    const ULONGLONG start = GetTickCount64();
    while (IsWindow(box) && GetTickCount64() - start < 5000) Sleep(5);
    PrintUtf8(std::string("{\"pressed\":") + (posted ? "true" : "false") +
              ",\"closed\":" + (IsWindow(box) ? "false" : "true") +
              ",\"close_ms\":" + std::to_string(GetTickCount64() - start) + "}\n");
    return posted ? 0 : 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::u16string verb = argc > 1 ? FromWide(argv[1]) : std::u16string();
    if (verb == u"list") {
        PrintUtf8("{\"boxes\":" + JsonList(FindBoxes(NumberArgument(argc, argv, u"--pid", 0))) +
                  "}\n");
        return 0;
    }
    if (verb == u"wait") return Wait(argc, argv);
    if (verb == u"press") return Press(argc, argv);
    PrintUtf8(
        "usage: e2e_box list [--pid P] | wait --pid P --timeout MS | press --hwnd H --button ID\n");
    return 2;
}
