// tests/posix/PortNamesTest.cpp — the port-name rules: which names are ports, their built-in devices, the ports folder.
#include <gtest/gtest.h>

#include <string>

#include "comm/posix/PortNames.h"

namespace {

using namespace comm::posix;

TEST(PortNames, OnlyExactComNamesAreParsed) {
  struct Case {
    const char* name;
    int port;
  };
  const Case cases[] = {
      {"COM1", 1},          {"COM9", 9},          {"COM10", 10},          {"COM99", 99},
      {"\\\\.\\COM5", 5},   {"\\\\.\\COM42", 42}, {"\\\\.\\COM99", 99},   {"COM0", 0},
      {"COM100", 0},        {"COM05", 0},         {"com5", 0},            {"Com5", 0},
      {"COM", 0},           {"COM5 ", 0},         {" COM5", 0},           {"COM-1", 0},
      {"COM+5", 0},         {"COM5:", 0},         {"COMx", 0},            {"\\\\.\\", 0},
      {"\\\\.\\COM", 0},    {"\\\\?\\COM5", 0},   {"\\\\.\\\\\\.\\COM5", 0}, {"\\\\.\\COM05", 0},
      {"/dev/ttyS0", 0},    {"LPT1", 0},          {"", 0},                {"COM1234", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(ParsePortName(c.name), c.port) << '"' << c.name << '"';
}

TEST(PortNames, DefaultDevicesCoverCom1To96) {
  struct Case {
    int port;
    const char* path;
  };
  const Case cases[] = {
      {1, "/dev/ttyS0"},    {32, "/dev/ttyS31"},   {33, "/dev/ttyUSB0"}, {64, "/dev/ttyUSB31"},
      {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}, {97, ""},             {99, ""},
      {0, ""},              {-1, ""},              {100, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(DefaultDevicePath(c.port), c.path) << c.port;
}

TEST(PortNames, PortsFolderFollowsXdgThenHome) {
  struct Case {
    const char* xdg;
    const char* home;
    const char* folder;
  };
  const Case cases[] = {
      {"/cfg", "/home/u", "/cfg/busfinder/ports"},
      {"/cfg", nullptr, "/cfg/busfinder/ports"},
      {nullptr, "/home/u", "/home/u/.config/busfinder/ports"},
      {"", "/home/u", "/home/u/.config/busfinder/ports"},
      {"relative/cfg", "/home/u", "/home/u/.config/busfinder/ports"},  // a relative XDG path is ignored
      {nullptr, "", ""},
      {nullptr, nullptr, ""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(PortsFolderFor(c.xdg, c.home), c.folder) << (c.xdg ? c.xdg : "(null)") << " / " << (c.home ? c.home : "(null)");
}

TEST(PortNames, FolderEntryOverridesAndIsTheOnlyWayAbove96) {
  struct Case {
    int port;
    const char* folder;
    bool entry;
    const char* path;
  };
  const Case cases[] = {
      {5, "/p", true, "/p/COM5"},   {5, "/p", false, "/dev/ttyS4"},   {40, "/p", false, "/dev/ttyUSB7"},
      {97, "/p", true, "/p/COM97"}, {99, "/p", true, "/p/COM99"},     {97, "/p", false, ""},
      {5, "", true, "/dev/ttyS4"},  {0, "/p", true, ""},              {100, "/p", true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(PortPath(c.port, c.folder, c.entry), c.path) << c.port << ' ' << c.entry;
}

}  // namespace
