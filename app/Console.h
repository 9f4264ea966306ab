#pragma once
// A window program on Windows has no console of its own: the usage goes to the console it
// was started from, unless its output already goes to a file or a pipe. Elsewhere standard
// output is where the program was started from already, and this does nothing.

namespace veltrane {

void WriteToTheStartingConsole();

}  // namespace veltrane
