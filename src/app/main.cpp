// Program entry: the application, then Main, Debug, MsgBox and ComIo in this order;
// the message loop runs until the main window closes, then the settings go to disk.
#include "uMain.h"

int main(int argc, char** argv) {
  TQuorvexApplication App(argc, argv);
  TProgram Program;
  Program.Main.show();
  const int Result = App.exec();
  Program.Main.SaveSettingsFile();
  return Result;
}
