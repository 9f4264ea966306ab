// How long one calibration value takes to store into a large settings file: builds a hive
// of N keys (default 50,000; first argument), then times CRegistrySettings::WriteDouble,
// which is what the dialog calls. Prints numbers and judges nothing.
//   build/hive_store_bench [keys]

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "platform/linux/RegistryFile.h"
#include "support/RegistrySettings.h"

int main(int argc, char** argv) {
  const long keys = argc > 1 ? std::atol(argv[1]) : 50000;
  char folder[] = "/tmp/veltrane-hive-bench-XXXXXX";
  if (::mkdtemp(folder) == nullptr) return 1;
  const std::string file = std::string(folder) + "/hive.reg";
  {
    std::ofstream out(file, std::ios::binary);
    out << "Windows Registry Editor Version 5.00\n\n";
    for (long i = 0; i < keys; ++i) {
      out << "[HKEY_CURRENT_USER\\SOFTWARE\\Vendor " << i % 100 << "\\Key " << i << "]\n\"v\"=\""
          << i << "\"\n\n";
    }
  }
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  const auto bytes = static_cast<long long>(in.tellg());

  veltrane::CRegistrySettings settings(std::make_shared<veltrane::RegistryFile>(file));
  settings.SetFolder(L"Tuner");
  for (int run = 1; run <= 3; ++run) {
    const auto start = std::chrono::steady_clock::now();
    const bool stored = settings.WriteDouble(L"Input1Calib_44100_Of Bench", 0.99975 + run * 1e-6);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    std::printf("keys %ld, file %lld bytes, store %d: %.3f s%s\n", keys, bytes, run, took.count(),
                stored ? "" : " (failed)");
  }
  std::remove(file.c_str());
  std::remove((file + ".lock").c_str());
  ::rmdir(folder);
  return 0;
}
