// The IPMI record of a node and the set-up of its connection. The domain
// carries the node's name: every OpenIPMI callback finds its node by it.
#include <OpenIPMI/ipmi_auth.h>
#include <OpenIPMI/ipmi_lan.h>
#include <OpenIPMI/ipmi_smi.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "ipmi/lookup.h"
#include "ipmi/openipmi.h"
#include "model/datastructs.h"
#include "model/globals.h"

namespace {

// The BMC's host name, name + "-ipmi", must fit its FIELDLEN buffer.
constexpr size_t MAXLANNAME = FIELDLEN - 1 - 5;
// The local system interface: the BMC of this machine.
const char SMIUSER[] = "SMI";
const char RMCPPORT[] = "623";
// The local interface's device files, in the order OpenIPMI tries them.
const char* const SMIDEVICES[] = {"/dev/ipmidev/0", "/dev/ipmi/0",
                                  "/dev/ipmi0"};

bool issmi(const node* n) { return strcmp(n->username, SMIUSER) == 0; }

// Every callback finds its node by the domain name, which OpenIPMI would cut.
void refuselongname(const node* n) {
  if (!fitsdomainname(n->name))
    fatalf(1,
           "Node name %s is too long for an IPMI node (at most %d "
           "characters).\nExiting now.\n",
           n->name, static_cast<int>(IPMI_DOMAIN_NAME_LEN - 1));
}

[[noreturn]] void refusesetup(const node* n, int rv) {
  fatalf(1, "ipmi_ip_setup_con error on %s: %s\n", n->name, strerror(rv));
}

}  // namespace

// The OpenIPMI OS handler: set up at start, then the main thread's alone.
os_handler_t* os_hnd = nullptr;
bool domainisup = false;  // main thread only
// Set before start-up, read-only after.
bool debugipmilog = false;

ipmi_link::ipmi_link(node* n)
    : owner(n),
      ipmicon(nullptr),
      discrete(),
      mysensors(),
      mymc(nullptr),
      mysdatas(),
      sensorcount(0) {}

ipmi_link* findipmi(const char* nodename) {
  node* n = mycluster.findnode(nodename);
  return n ? dynamic_cast<ipmi_link*>(n->link) : nullptr;
}

bool fitsdomainname(const char* name) {
  size_t len = strlen(name);
  return len < IPMI_DOMAIN_NAME_LEN && len <= MAXLANNAME;
}

void ipmi_foresee(const char* nodename, const char* username) {
  if (strcmp(username, SMIUSER) == 0 || !fitsdomainname(nodename)) return;
  startlookup(std::string(nodename) + "-ipmi");
}

int ipmi_setupcon(node* n, ipmi_con_t** con) {
  if (issmi(n)) return ipmi_smi_setup_con(0, os_hnd, nullptr, con);
  refuselongname(n);
  char host[FIELDLEN];
  snprintf(host, sizeof host, "%s-ipmi", n->name);
  char port[sizeof RMCPPORT];
  memcpy(port, RMCPPORT, sizeof port);
  // The address found ahead, when there is one; otherwise OpenIPMI looks
  // the name up, and says why it could not.
  std::string found;
  char address[NI_MAXHOST];
  char* addrs[1] = {host};
  if (lookedup(host, &found) && found.size() < sizeof address) {
    snprintf(address, sizeof address, "%s", found.c_str());
    addrs[0] = address;
  }
  char* ports[1] = {port};
  return ipmi_ip_setup_con(addrs, ports, 1, IPMI_AUTHTYPE_DEFAULT,
                           IPMI_PRIVILEGE_ADMIN, n->username,
                           strlen(n->username), n->password,
                           strlen(n->password), os_hnd, nullptr, con);
}

transport* ipmi_attach(node* n) {
  ipmi_link* l = new ipmi_link(n);
  int rv = ipmi_setupcon(n, &l->ipmicon);
  if (rv) refusesetup(n, rv);
  rv = ipmi_open_domain(n->name, &l->ipmicon, 1, domain_open, nullptr,
                        domain_up, nullptr, nullptr, 0, nullptr);
  if (rv) fatalf(1, "ipmi_init_domain: %s\n", strerror(rv));
  return l;
}

void ipmi_check(const node* n) {
  if (issmi(n)) {
    int rv = ENOENT;
    for (const char* device : SMIDEVICES) {
      int fd = open(device, O_RDWR | O_CLOEXEC);
      if (fd >= 0) {
        close(fd);
        return;
      }
      rv = errno;
    }
    refusesetup(n, rv);
  }
  refuselongname(n);
  std::string found;
  // OpenIPMI refuses a name it cannot resolve as an invalid address.
  if (!lookedup(std::string(n->name) + "-ipmi", &found)) refusesetup(n, EINVAL);
}
