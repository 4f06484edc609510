#include "daemon/check.h"

#include <gtest/gtest.h>
#include <string.h>

#include <memory>
#include <string>

#include "config/chassisfile.h"
#include "model/datastructs.h"

namespace {

TEST(CheckSummary, CountsNodesPerChassisAndTransport) {
  for (int c = 0; c < 3; c++) resetchassis(&mychassis[c]);
  strcpy(mychassis[0].name, "compute");
  mychassis[0].numfans = 2;
  mychassis[0].numdiscs = 1;
  strcpy(mychassis[1].name, "a-long-chassis-name");
  mychassis[1].transportkind = TRANSPORT_REDFISH;
  mychassis[1].numtemps = 3;
  strcpy(mychassis[2].name, "unused");
  mychassis[2].transportkind = TRANSPORT_OPENBMC;
  auto cl = std::make_unique<cluster>();
  cl->numchassis = 3;
  static char lan[] = "admin", smi[] = "SMI";
  struct {
    int chassis;
    char* user;
  } nodes[] = {{0, lan}, {1, lan}, {0, smi}, {0, lan}};
  for (auto& n : nodes) {
    node* added = &cl->mynodes[cl->numnodes++];
    added->thischassis = &mychassis[n.chassis];
    added->username = n.user;
  }
  cl->processalerts = true;
  strcpy(cl->emailto, "ops@example.org");
  strcpy(cl->emailfrom, "kestrel@example.org");
  strcpy(cl->emailserver, "smtp.example.org:2525");
  cl->slurmdrain = true;
  strcpy(cl->slurmscontrol, "/usr/bin/scontrol");
  cl->slurmresumeafter = 600;
  checksettings s;
  s.datadir = "/etc/kestrel";
  s.group = "root";
  s.httplisten = "[::1]:9180";
  EXPECT_EQ(
      checksummary(cl.get(), s),
      "kestrel would start with the files in /etc/kestrel.\n"
      "chassis              transport  fans temps volts discs  nodes\n"
      "compute              IPMI          2     0     0     1  3 (1 local)\n"
      "a-long-chassis-name  Redfish       0     3     0     0  1\n"
      "unused               OpenBMC       0     0     0     0  0\n"
      "nodes: 4 (IPMI over the LAN 2, IPMI local interface 1, Redfish 1)\n"
      "alerts: on, e-mail to ops@example.org from kestrel@example.org "
      "through smtp.example.org:2525\n"
      "automatic shutdowns: off\n"
      "power-ons: at most 10 a second\n"
      "Slurm drain: on, through /usr/bin/scontrol; resumed after 600 s "
      "healthy\n"
      "group of autonodeconf.dat: root (0)\n"
      "BMC certificates: not checked\n"
      "HTTP: on [::1]:9180\n");
  for (int c = 0; c < 3; c++) resetchassis(&mychassis[c]);
}

}  // namespace
