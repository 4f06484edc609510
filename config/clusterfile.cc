// Reads cluster.dat: settings and nodes. Every node's connection is brought
// up as its line is read. Errors are fatal (stderr, status 1; 4 for an
// unknown web-server group) unless noted.
#include "config/clusterfile.h"

#include <OpenIPMI/ipmi_auth.h>
#include <OpenIPMI/ipmi_lan.h>
#include <OpenIPMI/ipmi_smi.h>
#include <OpenIPMI/ipmiif.h>
#include <curl/curl.h>
#include <grp.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include <string>

#include "alerts/alerts.h"
#include "config/linescan.h"
#include "config/tls.h"
#include "daemon/globals.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "redfish/driver.h"

namespace {

constexpr int SETTINGLEN = 512;

// The BMC's host name, name + "-ipmi", must fit its 50-byte buffer.
constexpr size_t MAXLANNAME = FIELDLEN - 1 - 5;

openbmc_sensor* newopenbmcsensor(char* name, char* shortname) {
  openbmc_sensor* s = new openbmc_sensor();
  s->name = name;
  s->shortname = shortname;
  s->value = 0.0;
  keepblock(s);
  return s;
}

void setupopenbmc(node* n, time_t readingtime) {
  if (!n->curlInit())
    configfatal(1, "Failed to initialize OpenBmc variables for %s. Exiting.\n",
                n->name);
  // The first login runs here, on the reading thread; the worker logs in
  // again before the next task that needs it if this one fails.
  if (!node::curlLogin(n)) {
    snprintf(n->tmperrmsg, MSGLEN,
             "OpenBMC login on %s%s failed: %s.\nIs the node available?\n",
             n->name, "-ipmi", curl_easy_strerror(n->res));
    error_msg(n->tmperrmsg);
  }
  n->curlLastLogin = readingtime;
  chassis* c = n->thischassis;
  for (int i = 0; i < c->numfans; i++)
    n->openBmcFans[i] = newopenbmcsensor(c->fanname[i], c->fanshortname[i]);
  for (int i = 0; i < c->numtemps; i++)
    n->openBmcTemps[i] = newopenbmcsensor(c->tempname[i], c->tempshortname[i]);
  for (int i = 0; i < c->numvolts; i++)
    n->openBmcVolts[i] = newopenbmcsensor(c->voltname[i], c->voltshortname[i]);
}

// Redfish glue: the node's link; its first requests go out at the first
// poll of the main loop, so a slow BMC delays no start-up.
void setupredfish(node* n) {
  n->redfishlink = redfishattach(n);
  if (!n->redfishlink)
    configfatal(1, "Failed to initialize Redfish variables for %s. Exiting.\n",
                n->name);
}

void setupipmi(node* n) {
  int rv;
  if (strcmp(n->username, "SMI") == 0) {
    rv = ipmi_smi_setup_con(0, os_hnd, nullptr, &n->ipmicon);
  } else {
    if (!fitsdomainname(n->name))
      configfatal(1,
                  "Node name %s is too long for an IPMI node (at most %d "
                  "characters).\nExiting now.\n",
                  n->name, static_cast<int>(IPMI_DOMAIN_NAME_LEN - 1));
    char host[FIELDLEN];
    snprintf(host, sizeof host, "%s-ipmi", n->name);
    char port[] = "623";
    char* addrs[1] = {host};
    char* ports[1] = {port};
    rv = ipmi_ip_setup_con(addrs, ports, 1, IPMI_AUTHTYPE_DEFAULT,
                           IPMI_PRIVILEGE_ADMIN, n->username,
                           strlen(n->username), n->password,
                           strlen(n->password), os_hnd, nullptr, &n->ipmicon);
  }
  if (rv)
    configfatal(1, "ipmi_ip_setup_con error on %s: %s\n", n->name,
                strerror(rv));
  // The domain carries the node's name: the callbacks find the node by it.
  rv = ipmi_open_domain(n->name, &n->ipmicon, 1, domain_open, nullptr,
                        domain_up, nullptr, nullptr, 0, nullptr);
  if (rv) configfatal(1, "ipmi_init_domain: %s\n", strerror(rv));
}

void addnode(cluster* cl, char* line, time_t readingtime) {
  char nodename[FIELDLEN], chassisname[FIELDLEN], username[FIELDLEN],
      password[FIELDLEN];
  if (cl->numnodes >= MAXNODES)
    configfatal(1,
                "Maximum node count of %d exceeded in cluster.dat:\n%s\n"
                "Exiting now.\n",
                MAXNODES, line);
  parsenode(nodename, chassisname, username, password,
            const_cast<char*>(afterkeyword(line, "$NODE")));
  node* n = &cl->mynodes[cl->numnodes++];
  n->thischassis = cl->findchassis(chassisname);
  if (!n->thischassis)
    configfatal(1, "Unable to locate chassis %s for node %s\nExiting now.\n",
                chassisname, nodename);
  n->name = keepstring(nodename, strlen(nodename) + 1);
  n->username = keepstring(username, strlen(username) + 1);
  n->password = keepstring(password, strlen(password) + 1);
  if (n->thischassis->openbmc)
    setupopenbmc(n, readingtime);
  else if (n->thischassis->redfish)  // Redfish glue
    setupredfish(n);
  else
    setupipmi(n);
}

// "$TLS_CA <file>" holds for every HTTPS BMC, those of earlier $NODE lines
// too, whose first login is made as their line is read: so the file is
// searched for it before anything else is read.
void readtlsca(FILE* f) {
  char line[LINELEN];
  char value[SETTINGLEN];
  while (readconfigline(f, line)) {
    const char* rest = afterkeyword(line, "$TLS_CA");
    if (!rest) continue;
    parseemail(value, const_cast<char*>(rest));
    if (access(value, R_OK) != 0)
      configfatal(1,
                  "Unable to read the TLS CA file %s named in cluster.dat.\n"
                  "Exiting now.\n",
                  value);
    settlscafile(value);
  }
  rewind(f);
}

}  // namespace

bool fitsdomainname(const char* name) {
  size_t len = strlen(name);
  return len < IPMI_DOMAIN_NAME_LEN && len <= MAXLANNAME;
}

int parsenode(char* nodename, char* chassisname, char* username, char* password,
              char* origline) {
  std::string f[4];
  if (!splitfields(origline, 4, FIELDLEN - 1, f))
    configfatal(1,
                "Field too long (at most %d characters) in this line of "
                "cluster.dat:\n%s\nExiting now.\n",
                FIELDLEN - 1, origline);
  char* out[4] = {nodename, chassisname, username, password};
  for (int i = 0; i < 4; i++) {
    memset(out[i], 0, FIELDLEN);
    memcpy(out[i], f[i].data(), f[i].size());
  }
  bool smi = strcmp(username, "SMI") == 0;
  if (!nodename[0] || !chassisname[0] || !username[0] || (!password[0] && !smi))
    configfatal(1, "Error parsing this line in cluster.dat:\n%s\n", origline);
  return 1;
}

int parseemail(char* setting, char* origline) {
  std::string value;
  if (!splitfields(origline, 1, MAXFIELD, &value))
    configfatal(1,
                "Value too long (at most %d characters) in this line of "
                "cluster.dat:\n%s\nExiting now.\n",
                static_cast<int>(MAXFIELD), origline);
  memset(setting, 0, SETTINGLEN);
  memcpy(setting, value.data(), value.size());
  return 1;
}

void cluster::parsecluster(char* path) {
  numnodes = 0;
  FILE* f = fopen(path, "r");
  if (!f)
    configfatal(1,
                "Unable to open cluster configuration file: %s\nExiting now.\n",
                path);
  readtlsca(f);
  time_t readingtime = nowtime();
  char line[LINELEN];
  char value[SETTINGLEN];
  while (readconfigline(f, line)) {
    if (line[0] == '!' || line[0] == '#' || line[0] == ' ' || line[0] == '\n' ||
        line[0] == '\0')
      continue;
    char* rest;
    if (afterkeyword(line, "$NODE")) {
      addnode(this, line, readingtime);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$ENABLE_ALERTS")))) {
      parseemail(value, rest);
      // Only ever switched on.
      if (strncasecmp(value, "yes", 3) == 0) processalerts = true;
    } else if ((rest = const_cast<char*>(
                    afterkeyword(line, "$ENABLE_SHUTDOWNS")))) {
      parseemail(value, rest);
      if (strncasecmp(value, "yes", 3) == 0) processshutdowns = true;
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_TO")))) {
      parseemail(emailto, rest);
    } else if ((rest = const_cast<char*>(afterkeyword(line, "$EMAIL_FROM")))) {
      parseemail(emailfrom, rest);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$EMAIL_SERVER")))) {
      parseemail(value, rest);
      // emailserver is half the size of the scratch value.
      memcpy(emailserver, value, sizeof emailserver);
    } else if ((rest =
                    const_cast<char*>(afterkeyword(line, "$APACHE_GROUP")))) {
      parseemail(value, rest);
      struct group* g = getgrnam(value);
      if (!g)
        configfatal(4, "Unable to locate apache group %s.  Exiting.\n", value);
      apachegid = g->gr_gid;
    }
    // Any other line is ignored.
  }
  fclose(f);
}

void cluster::setupemail() {
  bool missing = false;
  if (!emailto[0]) {
    error_msg("Did not read email to address in cluster config file\n");
    missing = true;
  }
  if (!emailfrom[0]) {
    error_msg("Did not read email from address in cluster config file\n");
    missing = true;
  }
  if (!emailserver[0]) {
    error_msg("Did not read email server in cluster config file\n");
    missing = true;
  }
  if (missing) fatalexit(1);
  pendingalerts.setupemail(emailto, emailfrom, emailserver);
}
