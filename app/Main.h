#pragma once

namespace global {

// The start-up procedure: fetches the carrier list and opens the main window, or tells the user
// that the service cannot be reached and opens nothing.
void Main();

} // namespace global
