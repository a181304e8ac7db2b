#include "common/win32.h"

#include <string>

#include "common/text.h"
#include "window/control.h"

TControl* CreatingControl = nullptr;

namespace {

constexpr int kClassNameBuffer = 64;
constexpr UINT kInheritedClassStyles = 0x40E0;  // CS_OWNDC, CS_CLASSDC, CS_PARENTDC, CS_GLOBALCLASS
constexpr uint32_t kChildStyle = 0x40000000;
constexpr WPARAM kShowFocusRectangles = 0x10002;  // UIS_CLEAR with UISF_HIDEFOCUS
constexpr char16_t kMainIconName[] = u"MAINICON";

HINSTANCE ModuleInstance() {
    return GetModuleHandleW(nullptr);
}

// The name goes through the system ANSI code page and back, and is cut to fit
// a 64-unit buffer with its terminator: a name with characters outside that
// code page is registered as the code page renders them.
std::u16string RegisteredClassName(TControl* control) {
    std::u16string name = WidenAnsi(NarrowAnsi(GetClassName(control)));
    if (name.size() > kClassNameBuffer - 1) {
        name.resize(kClassNameBuffer - 1);
    }
    return name;
}

int OrDefault(LONG extent) {
    return extent == 0 ? CW_USEDEFAULT : extent;
}

}  // namespace

// A window made here without visibility having been set starts hidden, so that
// its owner can finish configuring it; the next CreateWnd shows it. The
// reference held meanwhile keeps the control alive until this is done with
// it, whatever its handlers do while the window is made.
HWND GetHandle(TControl* control) {
    if (control->Window != nullptr) {
        return control->Window;
    }
    AddRef(control);
    if (!control->VisibilityExplicit) {
        SetVisible(control, false);
        control->CreateWnd();
        control->DeferredShow = 1;
    } else {
        control->CreateWnd();
    }
    const HWND window = control->Window;
    Release(control);
    return window;
}

HWND GetParentHandle(TControl* control, bool create) {
    if (control->Parent == nullptr) {
        return control->ForeignParent;
    }
    return create ? GetHandle(control->Parent) : control->Parent->Window;
}

bool TControl::CreateWnd() {
    if (Parent != nullptr && GetHandle(Parent) == nullptr) {
        return false;
    }
    if (Window != nullptr) {
        CreateChildWindows(this);
        if (DeferredShow) {
            SetVisible(this, true);
            DeferredShow = 0;
        }
        return true;
    }

    const HINSTANCE instance = ModuleInstance();
    WNDCLASSW record{};
    record.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    record.hInstance = instance;
    record.lpfnWndProc = DefaultWndProc;
    record.style = ClassStyle;

    const std::u16string className = RegisteredClassName(this);

    const HWND parentWindow = GetParentHandle(this, true);
    const int width = OrDefault(Bounds.right - Bounds.left);
    const int height = OrDefault(Bounds.bottom - Bounds.top);
    int x = Bounds.left;
    int y = Bounds.top;
    if (!ChildControl && PositionSet == 0) {
        x = CW_USEDEFAULT;
        y = CW_USEDEFAULT;
    }

    // A class of the base name lends its attributes (procedure, extra bytes,
    // background) to the layer's own class, which is registered for this module
    // and never as one of the shared class kinds.
    if (ClassBaseName != nullptr && ClassBaseName[0] != 0) {
        WNDCLASSW base{};
        if (GetClassInfoW(instance, Wide(ClassBaseName), &base)) {
            record = base;
        }
        record.hInstance = instance;
        record.style &= ~kInheritedClassStyles;
    }

    // A custom class name equal to its base name finds the layer's own class on
    // the second window: its procedure is the layer's, and default processing
    // through it would come straight back here.
    if (DefaultWndProc == nullptr && record.lpfnWndProc != &LayerWindowProc) {
        DefaultWndProc = record.lpfnWndProc;
    }

    if (parentWindow == nullptr && (Style & kChildStyle) != 0) {
        return false;
    }

    WNDCLASSW registered{};
    if (!GetClassInfoW(instance, Wide(className), &registered)) {
        record.lpszClassName = Wide(className);
        record.lpfnWndProc = &LayerWindowProc;
        if (RegisterClassW(&record) == 0) {
            return false;
        }
    }

    AddRef(this);  // as in GetHandle: creation may give back the last other reference
    WindowDestroyed = 0;
    CreatingWindow = 1;
    CreatingControl = this;
    HWND handle = CreateWindowExW(ExStyle, Wide(className), Wide(Caption), Style, x, y, width,
                                  height, parentWindow, Menu, instance, nullptr);
    CreatingWindow = 0;
    Window = handle;
    if (handle == nullptr) {
        // Nothing is made for a window that does not exist: an icon copy
        // would outlive it, and its children would ask for it again and again.
        CreatingControl = nullptr;
        Release(this);
        return false;
    }
    SendMessageW(handle, WM_UPDATEUISTATE, kShowFocusRectangles, 0);
    CreatingControl = nullptr;
    SetWindowLongPtrW(handle, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

    if (!ChildControl) {
        SendMessageW(Window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(GetIcon(this)));
    }
    WindowCreatedHook(this);
    CreateChildWindows(this);
    Release(this);
    return true;
}

void CreateChildWindows(TControl* control) {
    for (int32_t i = 0; i < control->Children->Count; ++i) {
        static_cast<TControl*>(control->Children->Get(i))->CreateWnd();
    }
}

// Forms show the applet's icon, each through a copy of its own that goes with
// its window; a failed copy is retried at the next call.
HICON GetIcon(TControl* control) {
    if (control->Icon == kNoIcon) {
        return nullptr;
    }
    if (control->Icon != nullptr) {
        return control->Icon;
    }
    if (Applet != nullptr && control != Applet) {
        HICON appletIcon = GetIcon(Applet);
        HICON copy = nullptr;
        if (appletIcon != nullptr) {
            copy = static_cast<HICON>(CopyImage(appletIcon, IMAGE_ICON, 0, 0, 0));
        }
        control->Icon = copy;
        return copy;
    }
    control->Icon = LoadIconW(ModuleInstance(), Wide(kMainIconName));
    return control->Icon;
}
