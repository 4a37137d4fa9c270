// The program's entry: chooses the run mode from the argument list.
#pragma once

namespace halden {

class HaldenMain {
 public:
  HaldenMain() = delete;
  // "--self-test" anywhere in argv (whole element, exact case, argv[0]
  // included) runs the audio self-test: its lines go to standard output, a
  // failure's description to standard error. Anything else runs the desktop
  // application. Returns the process exit status: 0 after a passing
  // self-test, 1 after a failing one.
  static int main(int argc, char** argv);
};

}  // namespace halden
