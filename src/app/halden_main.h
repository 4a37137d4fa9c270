// The program's entry: chooses the run mode from the argument list.
#pragma once

namespace halden {

class HaldenMain {
 public:
  HaldenMain() = delete;
  // "--self-test" anywhere in argv (whole element, exact case, argv[0]
  // included) runs the audio self-test; anything else runs the application.
  // Returns the process exit status.
  static int main(int argc, char** argv);
};

}  // namespace halden
