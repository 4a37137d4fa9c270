#include "app/halden_main.h"

int main(int argc, char** argv) { return halden::HaldenMain::main(argc, argv); }
