#include "common/win32.h"

#include "window/control.h"

bool Quitting = false;

namespace {

constexpr UINT kFirstKeyMessage = 0x100;  // WM_KEYDOWN
constexpr UINT kLastKeyMessage = 0x108;
constexpr UINT kFirstColorMessage = 0x132;  // WM_CTLCOLORMSGBOX
constexpr UINT kLastColorMessage = 0x138;   // WM_CTLCOLORSTATIC
constexpr UINT kCommandReflection = 0xB005;
constexpr UINT kColorReflectionOffset = 0xBC00;
constexpr WPARAM kSystemCommandMask = 0xFFF0;
constexpr uint32_t kDisabledStyle = 0x08000000;

// Keys reach only the control that has the focus. Dialog keys are the top-level
// control's to take; a swallowed key leaves a zero key code behind for whatever
// looks at the message afterwards. Returns true when the result is final.
bool HandleKey(TControl* control, TMessage& message, LRESULT& result) {
    if (GetFocus() != control->Window) {
        result = 0;
        return false;
    }
    if (control->KeyHook(control, message, result)) {
        return true;
    }
    if ((GetKeyState(VK_CONTROL) | GetKeyState(VK_MENU)) < 0) {
        result = CallDefault(control, message);
        return false;
    }
    if (message.Message == WM_CHAR) {
        if (message.WParam == VK_TAB) {
            message.WParam = 0;
            result = 0;
        } else {
            result = CallDefault(control, message);
        }
        return false;
    }
    TControl* top = TopLevelOf(control);
    const bool keyUp = message.Message != WM_KEYDOWN && message.Message != WM_SYSKEYDOWN;
    if (top != nullptr && top->DialogKeyHook(control, message.WParam, keyUp)) {
        message.WParam = 0;
        result = 0;
    } else {
        result = CallDefault(control, message);
    }
    return false;
}

// The layer's own handling of a few messages. Returns true when the result is
// final; false goes on to the after-message hook. The control may be gone after
// any default processing of WM_CLOSE, so nothing reads it after that.
bool HandleBuiltIn(TControl* control, TMessage& message, LRESULT& result) {
    if (message.Message >= kFirstKeyMessage && message.Message <= kLastKeyMessage) {
        return HandleKey(control, message, result);
    }
    if (message.Message >= kFirstColorMessage && message.Message <= kLastColorMessage) {
        result =
            SendMessageW(reinterpret_cast<HWND>(message.LParam),
                         message.Message + kColorReflectionOffset, message.WParam, message.LParam);
        return false;
    }
    switch (message.Message) {
        case WM_DESTROY:
            if (message.Window != control->Window) {
                return false;
            }
            control->WindowDestroyed = 1;
            result = CallDefault(control, message);
            // Windows destroys a window whose WM_CREATE fails inside
            // CreateWindowExW (Wine sends no WM_DESTROY then): such a window
            // never stood for a reference, and each retry of the creation
            // would otherwise give back one more.
            if (control->CreatingWindow) {
                return true;
            }
            if (control == Applet) {
                Applet = nullptr;
            }
            Release(control);  // the reference that the window stood for
            return true;
        case WM_SIZE:
            result = CallDefault(control, message);
            return true;
        case WM_SETFOCUS:
            if (!TakeFocus(control)) {
                result = 0;
                return false;
            }
            result = CallDefault(control, message);
            return true;
        case WM_CLOSE:
            if (control == Applet || IsMainForm(control)) {
                PostQuitMessage(0);
                Quitting = true;
            }
            result = CallDefault(control, message);
            return false;
        case WM_NOTIFYFORMAT:
            if (message.LParam == NF_REQUERY) {
                result = NFR_UNICODE;
            }
            return false;
        case WM_NCDESTROY:
            if (message.Window != control->Window) {
                return false;
            }
            SetWindowLongPtrW(message.Window, GWLP_USERDATA, 0);
            result = CallDefault(control, message);
            return true;
        case WM_COMMAND: {
            HWND sender = reinterpret_cast<HWND>(message.LParam);
            if (GetWindowLongPtrW(sender, GWLP_USERDATA) != 0) {
                result = SendMessageW(sender, kCommandReflection, message.WParam, message.LParam);
            } else {
                result = CallDefault(control, message);
            }
            return false;
        }
        case WM_SYSCOMMAND:
            // Without an applet there is no window to minimize instead.
            if ((message.WParam & kSystemCommandMask) == SC_MINIMIZE && Applet != nullptr &&
                IsMainForm(control) && control != Applet) {
                PostMessageW(Applet->Window, WM_SYSCOMMAND, SC_MINIMIZE, 0);
                result = 0;
            } else {
                result = CallDefault(control, message);
            }
            return false;
        default:
            result = CallDefault(control, message);
            return true;
    }
}

}  // namespace

// While a control's window is being created it has no binding yet: the first
// message to reach a layer window then belongs to the control being created.
LRESULT CALLBACK LayerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    TMessage record{window, message, wParam, lParam};
    TControl* target = nullptr;
    if (window != nullptr) {
        if (CreatingControl != nullptr) {
            target = CreatingControl;
            target->Window = window;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(target));
            CreatingControl = nullptr;
        } else {
            target = reinterpret_cast<TControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
    }
    if (target != nullptr) {
        return target->WndProc(record);
    }
    if (Applet != nullptr) {
        return Applet->WndProc(record);
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The after-message hook is read before anything runs: a handler or the default
// processing may destroy the control, and the hook must still be callable then.
//
// A control takes only its own window: the applet, which receives what
// reaches no control, would otherwise make a dying window (one whose binding
// is already gone) its own, and every form made under it later would be
// owned by a window that no longer exists.
LRESULT TControl::WndProc(TMessage& message) {
    LRESULT result = 0;
    if (message.Window != nullptr && Window == nullptr &&
        GetWindowLongPtrW(message.Window, GWLP_USERDATA) == reinterpret_cast<LONG_PTR>(this)) {
        Window = message.Window;
    }
    TMessageHook afterMessage = AfterMessageHook;
    if (!ClassFilter->Code(ClassFilter->Data, message, result) &&
        !DispatchHook(this, message, result) && HandleBuiltIn(this, message, result)) {
        return result;
    }
    if (Quitting) {
        return result;
    }
    afterMessage(this, message, result);
    return result;
}

LRESULT CallDefault(TControl* control, TMessage& message) {
    if (control->DefaultWndProc != nullptr) {
        return CallWindowProcW(control->DefaultWndProc, control->Window, message.Message,
                               message.WParam, message.LParam);
    }
    return DefWindowProcW(message.Window, message.Message, message.WParam, message.LParam);
}

// Handlers are kept as pairs (handler, run-while-quitting byte); a handler is
// registered at most once.
void AddMessageHandler(TControl* control, TMessageHandler handler, bool runWhileQuitting) {
    control->DispatchHook = &DispatchHandlers;
    void* item = reinterpret_cast<void*>(handler);
    if (control->Handlers->IndexOf(item) >= 0) {
        return;
    }
    control->Handlers->Add(item);
    control->Handlers->Add(reinterpret_cast<void*>(static_cast<uintptr_t>(runWhileQuitting)));
}

// The extra reference lets a handler drop the last outside one without freeing
// the control under the loop. When the dispatcher's own release is the one that
// destroys it, the message counts as handled: the built-in step must not touch
// a control that no longer exists.
bool DispatchHandlers(TControl* control, TMessage& message, LRESULT& result) {
    if (control->RefCount < 0 || control->Handlers == nullptr || control->Handlers->Count == 0) {
        return false;
    }
    AddRef(control);
    bool handled = false;
    for (int32_t i = control->Handlers->Count / 2 - 1; i >= 0 && !handled; --i) {
        void** pair = &control->Handlers->Items[2 * i];
        if (Quitting && pair[1] == nullptr) {
            continue;
        }
        handled = reinterpret_cast<TMessageHandler>(pair[0])(control, message, result);
    }
    const bool lastReference = control->RefCount < 2;
    Release(control);
    return handled || lastReference;
}

bool IsEnabled(TControl* control) {
    if (control->Window != nullptr) {
        return IsWindowEnabled(control->Window) != 0;
    }
    return (control->Style & kDisabledStyle) == 0;
}

bool TakeFocus(TControl* control) {
    if (!IsEnabled(control)) {
        return false;
    }
    SetFocus(control->Window);
    return true;
}

// A control painted in its parent's colour value uses the parent's brush, so
// that a form full of controls holds one brush, not one per control.
HBRUSH GetBackgroundBrush(TControl* control) {
    if (control->Parent != nullptr &&
        control->Parent->BackgroundColor == control->BackgroundColor) {
        return GetBackgroundBrush(control->Parent);
    }
    if (control->BackgroundBrush == nullptr) {
        control->BackgroundBrush = CreateSolidBrush(ResolveColor(control->BackgroundColor));
    }
    return control->BackgroundBrush;
}

// The applet stands in for the application: it passes the focus on to the form
// that last had it, and its Close closes the main form.
bool AppletMessageHandler(TControl* applet, TMessage& message, LRESULT& result) {
    if (message.Message == WM_SETFOCUS) {
        TControl* focused = applet->FocusedChild;
        if (focused == nullptr) {
            return false;
        }
        if (focused->CreateWnd()) {
            SetFocus(focused->Window);
        }
        return true;
    }
    if (message.Message == WM_SYSCOMMAND && (message.WParam & kSystemCommandMask) == SC_CLOSE) {
        auto first = static_cast<TControl*>(applet->Children->Get(0));
        if (first == nullptr || !IsMainForm(first)) {
            return false;
        }
        PostMessageW(first->Window, WM_CLOSE, 0, 0);
        result = 0;
        return true;
    }
    return false;
}

// The applet's window is never sized or moved by the user: it only stands for
// the application on the task bar.
void AppletWindowCreated(TControl* applet) {
    HMENU menu = GetSystemMenu(applet->Window, FALSE);
    DeleteMenu(menu, SC_MAXIMIZE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_MOVE, MF_BYCOMMAND);
    DeleteMenu(menu, SC_SIZE, MF_BYCOMMAND);
    EnableMenuItem(menu, SC_RESTORE, MF_BYCOMMAND | MF_GRAYED);
}

bool FormFocusHandler(TControl* form, TMessage& message, LRESULT&) {
    if (message.Message != WM_SETFOCUS) {
        return false;
    }
    TControl* focused = form->FocusedChild;
    if (focused != nullptr && focused->CreateWnd()) {
        SetFocus(focused->Window);
    }
    if (Applet != nullptr && Applet != form) {
        Applet->FocusedChild = form;
    }
    return focused != nullptr;
}

// Child windows are made before the first erase so that they paint with the
// form. The message stays unhandled: default processing follows the fill.
bool FormBackgroundHandler(TControl* form, TMessage& message, LRESULT& result) {
    if (message.Message != WM_ERASEBKGND) {
        return false;
    }
    CreateChildWindows(form);
    if (form->NoEraseBackground) {
        return false;
    }
    HDC dc = reinterpret_cast<HDC>(message.WParam);
    SetBkMode(dc, OPAQUE);
    SetBkColor(dc, ResolveColor(form->BackgroundColor));
    SetBrushOrgEx(dc, 0, 0, nullptr);
    RECT client;
    GetClientRect(message.Window, &client);
    FillRect(dc, &client, GetBackgroundBrush(form));
    result = 1;
    return false;
}
