#pragma once

class QWidget;

// Opening the address book and about windows: one instance of each, modeless and without an
// owner; asking again brings the open one to the front.
namespace Navigation {

void ShowAddressBookWindow();
void ShowAboutWindow();

// Places `window` in the middle of the screen it would open on.
void CentreOnScreen(QWidget* window);

} // namespace Navigation
