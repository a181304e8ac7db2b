#include "common/win32.h"

#include "window/control.h"

TControl* Applet = nullptr;
bool AppletMode = false;

namespace {

constexpr TColor kDefaultTextColor = 0x80000008;
constexpr TColor kDefaultBackgroundColor = 0x8000000F;
constexpr TColor kSystemColorBit = 0x80000000;
constexpr TColor kSystemColorMask = 0x7F;

constexpr uint32_t kDefaultClassStyle = 0x20;
constexpr uint32_t kDefaultStyle = 0x16CF0000;
constexpr uint32_t kDefaultExStyle = 0x10000;
constexpr uint32_t kVisibleStyle = 0x10000000;

constexpr uint32_t kAppletStyle = 0x90CA0000;
constexpr uint32_t kAppletExStyle = 0x40000;
constexpr uint32_t kFormClassStyle = 0x8;

constexpr char16_t kAppletBaseName[] = u"App";
constexpr char16_t kFormBaseName[] = u"Form";
constexpr char16_t kClassPrefix[] = u"obj_";

constexpr int kControlKind = 0;

bool NoClassFilter(void*, TMessage&, LRESULT&) {
    return false;
}

const TClassFilter kControlClassFilter = {&NoClassFilter, nullptr};

bool NotHandled(TControl*, TMessage&, LRESULT&) {
    return false;
}
void NoAfterMessage(TControl*, TMessage&, LRESULT&) {}
void NoControlHook(TControl*) {}
bool NoDialogKey(TControl*, WPARAM, bool) {
    return false;
}
void NoChildChange(TControl*, TControl*) {}

void FreeCustomClassName(TControl* control) {
    if (control->CustomClassName) {
        delete[] control->ClassBaseName;
        control->ClassBaseName = nullptr;
        control->CustomClassName = 0;
    }
}

// Fonts and brushes are shared with the parent: each control holds its own
// reference and gives it back when it is destroyed.
void TakeShared(TControl* control, TRefObject*& field, TRefObject* shared) {
    if (shared == nullptr) {
        return;
    }
    field = shared;
    AddRef(shared);
    AddOwned(control, shared);
}

// A control that leaves its parent, and everything inside it, is no longer
// the one to focus where it was: the slot would outlive it once its new
// owner lets it go.
void ForgetFocus(TControl* holder, TControl* leaving) {
    for (TControl* focused = holder ? holder->FocusedChild : nullptr; focused != nullptr;
         focused = focused->Parent) {
        if (focused == leaving) {
            holder->FocusedChild = nullptr;
            return;
        }
    }
}

}  // namespace

void TControl::Init() {
    ClassFilter = &kControlClassFilter;
    DispatchHook = &NotHandled;
    AfterMessageHook = &NoAfterMessage;
    KeyHook = &NotHandled;
    CaptionChangedHook = &NoControlHook;
    DialogKeyHook = &NoDialogKey;
    ChildChangedHook = &NoChildChange;
    WindowCreatedHook = &NoControlHook;
    BackgroundColor = kDefaultBackgroundColor;
    TextColor = kDefaultTextColor;
    Children = NewPtrList();
    Handlers = NewPtrList();
    ClassStyle = kDefaultClassStyle;
    Style = kDefaultStyle;
    ExStyle = kDefaultExStyle;
    Visible = 1;
}

// Children go with their parent, after it has hidden itself and before it
// unlinks itself from its own parent. Destroying the window sends WM_DESTROY, which
// releases this control once more and so comes back here: the destroyed flag
// stops that second pass before it frees anything. Every slot that names this
// control as the one to focus is cleared, the applet's too: a form records
// itself there whatever its parent is.
void TControl::Done() {
    TControl* top = TopLevelOf(this);
    if (top != nullptr && top->FocusedChild == this) {
        top->FocusedChild = nullptr;
    }
    if (Applet != nullptr && Applet->FocusedChild == this) {
        Applet->FocusedChild = nullptr;
    }
    if (Window != nullptr) {
        ShowWindow(Window, SW_HIDE);
    }
    // Each child is given back as SetParentControl gives it back: one that is
    // still held elsewhere (its window stands for its creator's reference)
    // lives on without a parent, instead of pointing at a freed one.
    while (Children != nullptr && Children->Count > 0) {
        SetParentControl(static_cast<TControl*>(Children->Get(0)), nullptr);
    }
    ReleaseOwned();
    if (Destroyed) {
        return;
    }
    Destroyed = 1;
    FreeCustomClassName(this);
    if (Window != nullptr) {
        if (Icon != nullptr && Icon != kNoIcon && !IconShared) {
            DestroyIcon(Icon);
        }
        // A window already on its way out (this is its WM_DESTROY) is only
        // unbound: its last messages must not reach the freed control.
        if (WindowDestroyed) {
            SetWindowLongPtrW(Window, GWLP_USERDATA, 0);
        } else if (IsWindow(Window)) {
            DestroyWindow(Window);
        }
        Window = nullptr;
    }
    if (BackgroundBrush != nullptr) {
        DeleteObject(BackgroundBrush);
        BackgroundBrush = nullptr;
    }
    // Swapped rather than cleared: base destroy frees the memory without
    // running member destructors, so the text's buffer must go here.
    std::u16string().swap(Caption);
    if (Parent != nullptr) {
        Parent->Children->Remove(this);
        RemoveOwned(Parent, this);
        if (Parent->FocusedChild == this) {
            Parent->FocusedChild = nullptr;
        }
    }
    Release(Children);
    Children = nullptr;
    Release(Handlers);
    Handlers = nullptr;
    TRefObject::Done();
}

void TControl::Create(TControl* parent) {
    Init();
    if (parent != nullptr) {
        BackgroundColor = parent->BackgroundColor;
    }
    SetParentControl(this, parent);
}

void TControl::CreateParented(HWND parentWindow) {
    Init();
    ForeignParent = parentWindow;
}

TControl* NewControl(TControl* parent, const char16_t* baseName, int kind) {
    TControl* control = AllocateObject<TControl>();
    control->Create(parent);
    control->Kind = AcquireKindInfo(kind);
    AddOwned(control, control->Kind);
    control->ClassBaseName = baseName;
    if (parent != nullptr) {
        control->DialogKeyHook = parent->DialogKeyHook;
        control->TextColor = parent->TextColor;
        control->BackgroundColor = parent->BackgroundColor;
        TakeShared(control, control->Font, parent->Font);
        TakeShared(control, control->Brush, parent->Brush);
    }
    return control;
}

TControl* CreateApplet(const std::u16string& title) {
    AppletMode = true;
    TControl* control = NewControl(nullptr, kAppletBaseName, kControlKind);
    control->Style = kAppletStyle;
    control->ExStyle = kAppletExStyle;
    control->WindowCreatedHook = &AppletWindowCreated;
    AddMessageHandler(control, &AppletMessageHandler);
    SetCaption(control, title);
    return control;
}

// The first form made on the applet becomes its first child and with that
// the main form. Handlers run newest first: the background handler, added
// last, sees a message before the focus handler.
TControl* CreateForm(TControl* parent, const std::u16string& title) {
    TControl* control = NewControl(parent, kFormBaseName, kControlKind);
    control->ClassStyle |= kFormClassStyle;
    AddMessageHandler(control, &FormFocusHandler);
    AddMessageHandler(control, &FormBackgroundHandler);
    SetCaption(control, title);
    return control;
}

// A parent holds a reference of its own to each child, given back through its
// owned pair, besides the one the creator holds and the window stands for:
// otherwise a child with a window would be released twice, once by its
// parent's destroy and once by its own WM_DESTROY. The old parent's reference
// goes last, so that the control outlives its move.
void SetParentControl(TControl* control, TControl* parent) {
    if (parent == control->Parent) {
        return;
    }
    TControl* oldParent = control->Parent;
    if (oldParent != nullptr) {
        for (TControl* holder : {TopLevelOf(oldParent), oldParent, Applet}) {
            ForgetFocus(holder, control);
        }
        oldParent->Children->Remove(control);
        RemoveOwned(oldParent, control);
        oldParent->ChildChangedHook(oldParent, nullptr);
    }
    control->Parent = parent;
    if (parent != nullptr) {
        AddRef(control);
        parent->Children->Add(control);
        AddOwned(parent, control);
        if (control->Window != nullptr) {
            SetParent(control->Window, GetHandle(parent));
        }
        parent->ChildChangedHook(parent, control);
        control->ChildChangedHook(parent, control);
    }
    if (oldParent != nullptr) {
        Release(control);
    }
}

TControl* TopLevelOf(TControl* control) {
    while (control != nullptr && control->ChildControl) {
        control = control->Parent;
    }
    return control;
}

// The copy is cut at the first zero unit: the name ends up as a C string in
// class registration.
void SetClassName(TControl* control, const std::u16string& name) {
    FreeCustomClassName(control);
    char16_t* copy = new char16_t[name.size() + 1];
    size_t length = 0;
    while (length < name.size() && name[length] != 0) {
        copy[length] = name[length];
        ++length;
    }
    copy[length] = 0;
    control->ClassBaseName = copy;
    control->CustomClassName = 1;
}

std::u16string GetClassName(TControl* control) {
    const char16_t* base = control->ClassBaseName ? control->ClassBaseName : u"";
    if (control->CustomClassName) {
        return base;
    }
    return kClassPrefix + std::u16string(base);
}

// Only the value 1 of the flag suppresses the repaint.
void SetCaption(TControl* control, const std::u16string& text) {
    control->Caption = text;
    if (control->Window != nullptr) {
        SendMessageW(control->Window, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(text)));
    }
    if (control->CaptionNoInvalidate != 1) {
        Invalidate(control);
    }
    control->CaptionChangedHook(control);
}

// The window's text is the caption once there is a window: the user or the
// system may have changed it.
std::u16string GetCaption(TControl* control) {
    if (!control->CaptionNotReadBack && control->Window != nullptr) {
        const int length = GetWindowTextLengthW(control->Window);
        control->Caption.resize(static_cast<size_t>(length > 0 ? length : 0));
        if (length > 0) {
            GetWindowTextW(control->Window, reinterpret_cast<wchar_t*>(control->Caption.data()),
                           length + 1);
        }
    }
    return control->Caption;
}

// WS_VISIBLE in the stored style and the visible flag always agree afterwards.
void SetVisible(TControl* control, bool visible) {
    control->Style &= ~kVisibleStyle;
    if (visible) {
        control->Style |= kVisibleStyle;
    }
    control->Visible = visible ? 1 : 0;
    if (control->Window == nullptr) {
        return;
    }
    if (visible) {
        ShowWindow(control->Window, SW_SHOW);
    } else {
        control->DeferredShow = 0;
        ShowWindow(control->Window, SW_HIDE);
    }
}

void Hide(TControl* control) {
    control->VisibilityExplicit = 1;
    SetVisible(control, false);
}

// A child's rectangle is kept in its parent's client coordinates, as the
// window's position is given at creation.
RECT GetBounds(TControl* control) {
    RECT rect = control->Bounds;
    if (control->Window != nullptr) {
        GetWindowRect(control->Window, &rect);
        if (control->ChildControl || control->ParentRelative) {
            HWND parent = GetParentHandle(control, true);
            if (parent != nullptr) {
                POINT origin{0, 0};
                ClientToScreen(parent, &origin);
                OffsetRect(&rect, -origin.x, -origin.y);
            }
        }
    }
    control->Bounds = rect;
    return rect;
}

// Position bits are only ever set: once a coordinate has been given, a
// top-level window no longer takes the system's default position.
void SetBounds(TControl* control, const RECT& rect) {
    RECT current = GetBounds(control);
    if (rect.left == current.left && rect.top == current.top && rect.right == current.right &&
        rect.bottom == current.bottom) {
        return;
    }
    if (rect.left != control->Bounds.left) {
        control->PositionSet |= kLeftSet;
    }
    if (rect.top != control->Bounds.top) {
        control->PositionSet |= kTopSet;
    }
    control->Bounds = rect;
    if (control->Window != nullptr) {
        SetWindowPos(control->Window, nullptr, rect.left, rect.top, rect.right - rect.left,
                     rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    if (control->InvalidateAfterBounds) {
        Invalidate(control);
    }
}

// A width or height of 0 or less leaves that dimension as it is.
TControl* SetSize(TControl* control, int width, int height) {
    RECT rect = GetBounds(control);
    if (width > 0) {
        rect.right = rect.left + width;
    }
    if (height > 0) {
        rect.bottom = rect.top + height;
    }
    SetBounds(control, rect);
    return control;
}

// Repainting concerns only a window; a control without one has nothing to redraw.
void Invalidate(TControl* control) {
    if (control->Window != nullptr) {
        InvalidateRect(control->Window, nullptr, TRUE);
    }
}

// In applet mode the main form is the applet's first child; without an
// applet any top-level control counts as one.
bool IsMainForm(TControl* control) {
    if (Applet == nullptr) {
        return !control->ChildControl;
    }
    if (!AppletMode) {
        return control == Applet;
    }
    return control == Applet->Children->Get(0);
}

// A value with the top bit set names a system colour by its low 7 bits.
COLORREF ResolveColor(TColor color) {
    if (color & kSystemColorBit) {
        return GetSysColor(static_cast<int>(color & kSystemColorMask));
    }
    return color;
}
