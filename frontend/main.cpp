// Process entry: hands the command tail to Main and returns its exit status.
#include "frontend/MainMod.h"
#include "platform/APIdeclarations.h"

int main(int argc, char* argv[]) {
  MainMod::ArgumentText = APIdeclarations::GetCommandTail(argc, argv);
  return MainMod::Main();
}
