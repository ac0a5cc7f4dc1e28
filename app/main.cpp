// app/main.cpp — the entry point of busfinder: the application object, the main form, the event loop.
#include "search/Main.h"
#include "ui/Forms.h"

int main() {
  ui::TApplication application;
  ui::Application = &application;
  application.Initialize();
  application.SetTitle("");
  application.CreateForm(MainForm);
  application.Run();
  ui::Application = nullptr;
  return 0;
}
