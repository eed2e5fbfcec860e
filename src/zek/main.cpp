#include "zek/tool.h"

int main(int argc, char** argv) { return zek::zek_main(argc, argv); }
