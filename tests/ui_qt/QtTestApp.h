// tests/ui_qt/QtTestApp.h — the one application object of a Qt test program, made before the first test.
#pragma once

#include <gtest/gtest.h>

#include "ui/Forms.h"

namespace uitest {

// A QApplication lives once per process, so every test of a program shares this one.
class QtAppEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    app_ = new ui::TApplication;
    ui::Application = app_;
    app_->Initialize();
    app_->SetTitle("");
  }
  void TearDown() override {
    ui::Application = nullptr;
    delete app_;
    app_ = nullptr;
  }

 private:
  ui::TApplication* app_ = nullptr;
};

inline ::testing::Environment* const kQtAppEnvironment = ::testing::AddGlobalTestEnvironment(new QtAppEnvironment);

}  // namespace uitest
