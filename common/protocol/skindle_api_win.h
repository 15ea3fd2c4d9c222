// The skin library's functions as the report window calls them. Skindle.dll (the product's skin
// library) exports them undecorated, C calling convention; names and wide strings throughout. The
// library keeps its own copies of what it is given; strings it returns stay its own.
#pragma once
#include <windows.h>

#ifdef SKINDLE_BUILD
#define SKINDLE_API extern "C" __declspec(dllexport)
#else
#define SKINDLE_API extern "C" __declspec(dllimport)
#endif

// The message the library sends to a subclassed window when a control is clicked: wParam points
// to the control's name (NUL-terminated), lParam is 0; the window answers 0.
constexpr UINT kSkinNotifyMessage = 10135;

// A relative folder is taken against the folder of the program that loaded the library.
SKINDLE_API void Skindle_LoadSkinResourceFromFolder(const wchar_t* folder);
SKINDLE_API void Skindle_UpdateSkin(int reserved1, int reserved2, int reserved3);
SKINDLE_API void Skindle_SubclassWindow(HWND window, const wchar_t* layoutName, int enable);
// Valid until the next load of resources; never null (an unknown item gives "").
SKINDLE_API const wchar_t* Skindle_GetStringItem(const wchar_t* itemName);
SKINDLE_API void Skindle_AutoText_SetControlText(HWND window, const wchar_t* control,
                                                 const wchar_t* attribute, const wchar_t* value, int redraw);
SKINDLE_API void Skindle_Button_SetCheck(HWND window, const wchar_t* control, int checked);
SKINDLE_API int Skindle_Button_GetCheck(HWND window, const wchar_t* control);
// False, and the rectangle untouched, when the window's layout has no such control.
SKINDLE_API BOOL Skindle_GetControlRect(HWND window, const wchar_t* control, RECT* rect);
SKINDLE_API void Skindle_ShowControl(HWND window, const wchar_t* control, int show);
// The control that has the keyboard focus, drawn with a focus frame; null or an unknown name: none.
SKINDLE_API void Skindle_SetFocusControl(HWND window, const wchar_t* control);
// What the library was handed so far, one line per call that changes its resources or windows
// ("load <folder>", "update", "subclass <layout>"): lets a caller check the order of its calls.
SKINDLE_API const wchar_t* Skindle_GetCallJournal();
