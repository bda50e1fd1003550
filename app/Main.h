#pragma once

namespace global {

// The start-up procedure: reads the settings files, fetches the carrier list and opens the main
// window, or tells the user what is wrong with a settings file, or that the service cannot be
// reached, and opens nothing.
void Main();

// How many of the process's `argc` arguments Qt is given: the program's name only. The program
// takes no command line, and Qt's own options ("-platform nonsense") must not reach Qt either.
int QtArgumentCount(int argc);

} // namespace global
