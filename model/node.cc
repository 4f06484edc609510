#include "daemon/globals.h"
#include "model/datastructs.h"

chassis::chassis() : numfans(0), numtemps(0), numvolts(0), numdiscs(0) {
  static const double defaults[4] = {-1.0, 0.0, 40000.0, 40001.0};
  for (int i = 0; i < MAXFANS; i++) {
    fanname[i] = fanshortname[i] = nullptr;
    for (int l = 0; l < 4; l++) fanlimit[i][l] = defaults[l];
  }
  for (int i = 0; i < MAXTEMPS; i++) {
    tempname[i] = tempshortname[i] = nullptr;
    for (int l = 0; l < 4; l++) templimit[i][l] = defaults[l];
  }
  for (int i = 0; i < MAXVOLTS; i++) {
    voltname[i] = voltshortname[i] = nullptr;
    for (int l = 0; l < 4; l++) voltlimit[i][l] = defaults[l];
  }
  openbmc = false;
}

node::node() : node(nullptr) {}

node::node(chassis* c)
    : thischassis(c),
      name(nullptr),
      username(nullptr),
      password(nullptr),
      voltfail(),
      tempfail(),
      fanfail(),
      discfail(),
      lastupdate(0),
      lastquery(0),
      lastcheck(0),
      ipmicon(nullptr),
      curl(nullptr),
      curlURL(nullptr),
      curlDATA(nullptr),
      curlRECV(nullptr),
      curlCurSens(nullptr),
      curlInuse(false),
      curlLastLogin(0),
      curlLastPwrOnCmd(0),
      res(CURLE_OK),
      openBmcFans(),
      openBmcTemps(),
      openBmcVolts(),
      curlthread(),
      curlthreadinit(false),
      curlwait(0),
      curlLoggedIn(false),
      curlInLogin(false),
      pwr_statuswaiting(0),
      power(false),
      tmperrmsg(),
      inShutdown(false),
      inAlert(false),
      wasdead(false),
      updated(false),
      dead(true),
      discrete(),
      mysensors(),
      mymc(nullptr),
      mysdatas(),
      sensorcount(0),
      firsttime(0) {
  for (auto& v : volt) v.store(0.0);
  for (auto& v : temp) v.store(0.0);
  for (auto& v : fan) v.store(0.0);
  for (auto& v : disc) v.store(0.0);
}

node::~node() {}

void node::setalive() { dead = false; }
void node::setdead() { dead = true; }
bool node::isdead() { return dead; }
bool node::ispowered() { return power; }

void node::initfirsttime() {
  time_t expected = 0;
  firsttime.compare_exchange_strong(expected, nowtime());
}

void node::clearfirsttime() {
  firsttime = 0;
  lastupdate = 0;
}
