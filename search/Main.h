// search/Main.h — the main window TMainForm: port box, result list, search button, status bar.
#pragma once

#include <cstdint>
#include <string>

#include "ui/Forms.h"

class TMainForm : public ui::TForm {
 public:
  TMainForm();

  ui::TPanel* Panel;
  ui::TSpinEdit* ComSpin;
  ui::TLabel* Label1;
  ui::TMemo* Memo;
  ui::TStatusBar* StatusBar;
  ui::TButton* FindButton;

  // The device search over the 100 bus addresses 00–99 of the port chosen in ComSpin.
  void FindButtonClick(ui::TControl* sender);
};

extern TMainForm* MainForm;

namespace mainform {

// UTF-8 texts of the window.
inline constexpr const char* kCaption = "Поиск устройств \"Вилтар-2\"";
inline constexpr const char* kPortLabel = "COM-порт:";
inline constexpr const char* kFindCaption = "Поиск";
inline constexpr const char* kBoxCaption = "Информация";
inline constexpr const char* kPortUnavailable = "Указанный COM-порт недоступен";
inline constexpr const char* kLinePrefix = "COM";
inline constexpr const char* kLineMiddle = " - устройство №";
inline constexpr const char* kProgressPrefix = "Поиск ... ";
inline constexpr const char* kNoDevices = "Устройства не обнаружены";
inline constexpr const char* kFinished = "Поиск завершен";

}  // namespace mainform
