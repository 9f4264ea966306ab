#pragma once
// The "C" locale's numbers for the C library's formatting on this thread, for as long as the
// object lives, so the decimal separator is '.' whatever locale GTK switched the process to.

namespace veltrane {

class ClassicLocaleForThisThread {
 public:
  ClassicLocaleForThisThread();
  ~ClassicLocaleForThisThread();
  ClassicLocaleForThisThread(const ClassicLocaleForThisThread&) = delete;
  ClassicLocaleForThisThread& operator=(const ClassicLocaleForThisThread&) = delete;

 private:
  void* previous = nullptr;  // the thread's locale before, where the system has one per thread
};

}  // namespace veltrane
