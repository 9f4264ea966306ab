#pragma once
// What start-up does its own way on each system; each system's folder holds its own file.

namespace veltrane {

// Makes a lost connection to the display end the run as one that could not go on: a message
// and status 3. Call after the window system has opened the display.
void EndWhenTheDisplayIsLost();

// Lets standard output reach the console the program was started from, for the usage text.
void WriteToTheStartingConsole();

}  // namespace veltrane
