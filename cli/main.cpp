#include "cli/commands.h"

int main(int argc, char** argv) {
  return zezi::runTool(argc, argv);
}
