// C entry points of the simulated-stand library (libmdq_stand.so).
#pragma once

#include <climits>

struct MdqStandInfo {
  char error[256];
  char driverPath[PATH_MAX];
  int tcpPort;
  int udpPort;
};

extern "C" {
// 0, or -1 with info->error saying what failed.
int mdq_stand_start(double rateHz, int boardInProcess, MdqStandInfo* info);
unsigned long long mdq_stand_triggers();
void mdq_stand_stop();
}
