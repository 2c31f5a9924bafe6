#pragma once
// The mouse wheel never edits behind the operator's back.  Scrolling a page with the wheel
// passes over its drop-down lists, spin boxes and list boxes; one that does not have the
// keyboard focus hands the wheel to the scrolling page that holds it, which scrolls (outside
// such a page the wheel does nothing there).  A control the operator has clicked or tabbed
// into (it has the focus) takes the wheel as usual.
//
// Threads: the user-interface thread only.

class QWidget;

namespace ui {

// Guards every drop-down list, spin box and list box among the descendants of `root` that
// exist now (the popups of drop-down lists are left alone).  Their focus policy becomes
// Qt::StrongFocus, so a wheel does not give them the focus either.
void PassWheelToPage(QWidget* root);

} // namespace ui
