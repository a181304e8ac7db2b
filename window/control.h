#pragma once

#include "common/win32.h"

#include <cstdint>
#include <string>

#include "window/ref_object.h"

// winuser.h maps GetClassName to GetClassNameW; the layer's own GetClassName must keep its name.
#undef GetClassName

class TControl;

using TColor = uint32_t;

struct TMessage {
    HWND Window;
    UINT Message;
    WPARAM WParam;
    LPARAM LParam;
};

using TMessageHandler = bool (*)(TControl* control, TMessage& message, LRESULT& result);
using TMessageHook = void (*)(TControl* control, TMessage& message, LRESULT& result);
using TControlHook = void (*)(TControl* control);
using TDialogKeyHook = bool (*)(TControl* focused, WPARAM key, bool keyUp);
using TChildChangedHook = void (*)(TControl* parent, TControl* child);

struct TClassFilter {
    bool (*Code)(void* data, TMessage& message, LRESULT& result);
    void* Data;
};

class TControl : public TRefObject {
  public:
    void Init() override;
    void Done() override;
    virtual void Create(TControl* parent);
    virtual void CreateParented(HWND parentWindow);
    virtual bool CreateWnd();
    virtual LRESULT WndProc(TMessage& message);

    HWND Window;
    uint32_t ClassStyle;
    uint32_t Style;
    uint32_t ExStyle;
    WNDPROC DefaultWndProc;
    TControl* Parent;

    uint8_t Visible;
    uint8_t IconShared;
    uint8_t CaptionNotReadBack;
    uint8_t InvalidateAfterBounds;
    uint8_t CaptionNoInvalidate;
    uint8_t NoEraseBackground;
    uint8_t Destroyed;
    uint8_t WindowDestroyed;
    uint8_t CreatingWindow;
    uint8_t PositionSet;
    uint8_t ChildControl;
    uint8_t ParentRelative;
    uint8_t DeferredShow;
    uint8_t VisibilityExplicit;
    uint8_t CustomClassName;

    TPtrList* Handlers;
    TPtrList* Children;
    HBRUSH BackgroundBrush;
    TKindInfo* Kind;
    const TClassFilter* ClassFilter;

    TMessageHandler DispatchHook;
    TMessageHook AfterMessageHook;
    TMessageHandler KeyHook;
    TControlHook CaptionChangedHook;
    TDialogKeyHook DialogKeyHook;
    TChildChangedHook ChildChangedHook;
    TControlHook WindowCreatedHook;

    HMENU Menu;
    TColor TextColor;
    TColor BackgroundColor;
    TRefObject* Font;
    TRefObject* Brush;
    RECT Bounds;
    std::u16string Caption;
    const char16_t* ClassBaseName;
    TControl* FocusedChild;
    HICON Icon;
    HWND ForeignParent;
};

constexpr uint8_t kLeftSet = 0x1;
constexpr uint8_t kTopSet = 0x2;

inline const HICON kNoIcon = reinterpret_cast<HICON>(static_cast<intptr_t>(-1));

extern TControl* Applet;
extern bool AppletMode;
extern bool Quitting;
extern TControl* CreatingControl;

TControl* NewControl(TControl* parent, const char16_t* baseName, int kind);
TControl* CreateApplet(const std::u16string& title);
TControl* CreateForm(TControl* parent, const std::u16string& title);

void SetParentControl(TControl* control, TControl* parent);
TControl* TopLevelOf(TControl* control);

void SetClassName(TControl* control, const std::u16string& name);
std::u16string GetClassName(TControl* control);
HWND GetHandle(TControl* control);
HWND GetParentHandle(TControl* control, bool create);
void CreateChildWindows(TControl* control);
HICON GetIcon(TControl* control);

void SetCaption(TControl* control, const std::u16string& text);
std::u16string GetCaption(TControl* control);
void SetVisible(TControl* control, bool visible);
void Hide(TControl* control);
RECT GetBounds(TControl* control);
void SetBounds(TControl* control, const RECT& rect);
TControl* SetSize(TControl* control, int width, int height);
void Invalidate(TControl* control);

LRESULT CALLBACK LayerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CallDefault(TControl* control, TMessage& message);
void AddMessageHandler(TControl* control, TMessageHandler handler, bool runWhileQuitting = false);
bool DispatchHandlers(TControl* control, TMessage& message, LRESULT& result);
bool IsMainForm(TControl* control);
bool IsEnabled(TControl* control);
bool TakeFocus(TControl* control);
HBRUSH GetBackgroundBrush(TControl* control);
COLORREF ResolveColor(TColor color);

bool AppletMessageHandler(TControl* applet, TMessage& message, LRESULT& result);
void AppletWindowCreated(TControl* applet);
bool FormFocusHandler(TControl* form, TMessage& message, LRESULT& result);
bool FormBackgroundHandler(TControl* form, TMessage& message, LRESULT& result);
