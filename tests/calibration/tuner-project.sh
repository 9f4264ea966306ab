# Sourced by the tests of the installed reader library: writes into the folder $1 the CMake
# project a tuner's developer would, building the example $2 against the library found by
# find_package, once shared (by-cmake) and once static (by-cmake-static).
write_tuner_project() {
  mkdir -p "$1"
  cat >"$1/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.16)
project(tuner LANGUAGES C)
find_package(VeltraneCalibration 0.1 REQUIRED)
add_executable(by-cmake "$2")
target_link_libraries(by-cmake PRIVATE Veltrane::calibration)
add_executable(by-cmake-static "$2")
target_link_libraries(by-cmake-static PRIVATE Veltrane::calibration-static)
CMAKE
}
