// search/Main.cpp — the main window's layout and the device search behind its button.
#include "search/Main.h"

#include "serial/BusScan.h"
#include "serial/LibUnit.h"

TMainForm* MainForm = nullptr;

TMainForm::TMainForm() {
  SetCaption(mainform::kCaption);
  SetClientSize(392, 285);

  StatusBar = new ui::TStatusBar(this);  // along the bottom edge, 392 × 19

  Panel = new ui::TPanel(this);
  Panel->SetBounds(0, 0, 392, 266);

  Label1 = new ui::TLabel(Panel, mainform::kPortLabel);
  Label1->SetBounds(18, 24, 55, 13);

  ComSpin = new ui::TSpinEdit(Panel);
  ComSpin->SetBounds(80, 16, 81, 22);
  ComSpin->SetRange(1, 99);
  ComSpin->SetMaxLength(2);
  ComSpin->SetValue(1);
  ComSpin->SetTabOrder(0);

  Memo = new ui::TMemo(Panel);
  Memo->SetBounds(16, 56, 361, 169);
  Memo->SetTabOrder(1);

  FindButton = new ui::TButton(Panel, mainform::kFindCaption);
  FindButton->SetBounds(16, 232, 361, 25);
  FindButton->SetTabOrder(2);
  FindButton->OnClick = [this](ui::TControl* sender) { FindButtonClick(sender); };
}

void TMainForm::FindButtonClick(ui::TControl* /*sender*/) {
  if (!OpenPort(ComSpin->Value())) {
    ui::Application->MessageBox(mainform::kPortUnavailable, mainform::kBoxCaption, ui::mbIconError | ui::mbOK);
    return;
  }

  Memo->Clear();
  FindButton->SetEnabled(false);
  ComSpin->SetEnabled(false);
  ui::Application->ProcessMessages();

  for (const std::uint8_t address : libunit::BusAddresses()) {  // 00–99 in packed BCD, ascending
    if (ProbeAddress(address)) {
      Memo->Lines().Add(mainform::kLinePrefix + std::to_string(ComSpin->Value()) + mainform::kLineMiddle +
                        libunit::AddressText(address));
    }
    StatusBar->SetPanelText(0, mainform::kProgressPrefix + libunit::AddressText(address));
    ui::Application->ProcessMessages();
  }

  ClosePort();
  if (Memo->Lines().Count() == 0) Memo->Lines().Add(mainform::kNoDevices);
  StatusBar->SetPanelText(0, mainform::kFinished);
  FindButton->SetEnabled(true);
  ComSpin->SetEnabled(true);
}
