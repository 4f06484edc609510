// The OpenBMC REST requests and the handlers of their replies. Each request
// resets the node's handle (its connection and cookies survive the reset)
// and sets its own options. The handlers write what they find into the node;
// they format messages in buffers of their own, as the main thread may be
// using the node's tmperrmsg at the same time.
#include <stdio.h>
#include <string.h>

#include "config/tls.h"
#include "daemon/globals.h"
#include "model/datastructs.h"
#include "openbmc/openbmc.h"
#include "openbmc/replies.h"

namespace {

const char kJsonHeader[] = "Content-Type: application/json";
const char kPowerOnBody[] =
    "{\"data\": \"xyz.openbmc_project.State.Host.Transition.On\"}";
const char kPowerOffBody[] =
    "{\"data\": \"xyz.openbmc_project.State.Chassis.Transition.Off\"}";
const char kResetBody[] =
    "{\"data\": \"xyz.openbmc_project.State.Host.Transition.Reboot\"}";
const char kHostTransitionUrl[] =
    "https://%s-ipmi/xyz/openbmc_project/state/host0/attr/"
    "RequestedHostTransition";
const char kChassisTransitionUrl[] =
    "https://%s-ipmi/xyz/openbmc_project/state/chassis0/attr/"
    "RequestedPowerTransition";

// Clears the handle's options. Signals must stay out of a handle used from a
// thread: libcurl would otherwise use SIGALRM for its name look-up time-out.
void resethandle(CURL* c) {
  curl_easy_reset(c);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
}

// Prints at most the delivered bytes of a reply (it is not NUL-terminated).
int printable(size_t len) {
  return len > MSGLEN ? MSGLEN : static_cast<int>(len);
}

// The node's record of the OpenBMC sensor with this chassis name, or null.
openbmc_sensor* findopenbmcsensor(node* n, const char* name) {
  chassis* c = n->thischassis;
  openbmc_sensor** tables[] = {n->openBmcFans, n->openBmcTemps,
                               n->openBmcVolts};
  int counts[] = {c->numfans, c->numtemps, c->numvolts};
  for (int t = 0; t < 3; t++)
    for (int i = 0; i < counts[t]; i++) {
      openbmc_sensor* s = tables[t][i];
      if (s && s->name && strcmp(s->name, name) == 0) return s;
    }
  return nullptr;
}

}  // namespace

void* node::curlLogin(void* thenode) {
  node* n = static_cast<node*>(thenode);
  CURL* c = n->curl;
  n->curlInLogin = true;
  resethandle(c);
  snprintf(n->curlURL, CURLURLLEN, "https://%s-ipmi/login", n->name);
  curl_easy_setopt(c, CURLOPT_URL, n->curlURL);
  // Switches the cookie store on without reading a file: the session cookie
  // of the reply then goes out with every later request of the handle.
  curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
  // Escaped, so that any password gives a valid body.
  formatloginbody(n->curlDATA, CURLDATALEN, n->username, n->password);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, n->curlDATA);
  settlsoptions(c);
  struct curl_slist* headers = curl_slist_append(nullptr, kJsonHeader);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, curlVerifyLogin);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, n);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, CURLCONNECTTIMEOUTMS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLLOGINTIMEOUTMS);
  n->res = curl_easy_perform(c);
  curl_slist_free_all(headers);
  if (n->res != CURLE_OK) {
    n->curlLoggedIn = false;
    n->curlInLogin = false;
    return nullptr;
  }
  n->curlInLogin = false;
  return n;
}

size_t node::curlVerifyLogin(char* data, size_t size, size_t count,
                             void* thenode) {
  node* n = static_cast<node*>(thenode);
  size_t len = size * count;
  char msg[MSGLEN];
  switch (loginreply(data, len)) {
    case LOGIN_OK:
      n->dead = false;
      n->curlLoggedIn = true;
      break;
    case LOGIN_REFUSED:
      snprintf(msg, sizeof msg, "Login to %s failed\n", n->name);
      error_msg(msg);
      n->dead = true;
      n->curlLoggedIn = false;
      break;
    default:
      snprintf(msg, sizeof msg,
               "Login to %s failed with unexpected result: %.*s\n", n->name,
               printable(len), data);
      error_msg(msg);
      n->dead = true;
      n->curlLoggedIn = false;
      break;
  }
  return len;
}

size_t node::curlPowerStatus(char* data, size_t size, size_t count,
                             void* thenode) {
  node* n = static_cast<node*>(thenode);
  size_t len = size * count;
  switch (powerstatereply(data, len)) {
    case POWERSTATE_ON:
      if (!n->power) n->clearfirsttime();
      n->power = true;
      n->initfirsttime();
      n->dead = false;
      break;
    case POWERSTATE_OFF:
      n->zerosensors();
      n->power = false;
      n->dead = false;  // a powered-off node is alive
      break;
    default: {
      char msg[MSGLEN];
      snprintf(msg, sizeof msg,
               "Could not determine power status from %s: %.*s\n", n->name,
               printable(len), data);
      error_msg(msg);
      n->power = false;
      n->dead = true;
      n->zerosensors();
      // Most often the session has expired: log in again before the next
      // task, or a node that is off (and so never asked for sensors, whose
      // reply would end the session) would stay dead for good.
      n->curlLoggedIn = false;
      break;
    }
  }
  return len;
}

size_t node::curlPowerCommandVerify(char*, size_t size, size_t count, void*) {
  return size * count;
}

size_t node::curlGetData(char* data, size_t size, size_t count, void* thenode) {
  node* n = static_cast<node*>(thenode);
  size_t len = size * count;
  char msg[MSGLEN];
  double reading = 0.0;
  switch (sensorreply(data, len, &reading)) {
    case SENSOR_NOSCALE: {
      // A sensor the BMC does not have is a fault of the chassis file, not
      // of the session: it must not make the node flap dead at every poll.
      long code = 0;
      curl_easy_getinfo(n->curl, CURLINFO_RESPONSE_CODE, &code);
      if (code == 404) {
        // Said once, not at every readout, until the BMC has it again.
        openbmc_sensor* s = findopenbmcsensor(n, n->curlCurSens);
        if (s && s->missing) break;
        if (s) s->missing = true;
        snprintf(msg, sizeof msg, "OpenBMC sensor %s not found on %s\n",
                 n->curlCurSens, n->name);
        error_msg(msg);
        break;
      }
      // Any other reply without a scale means the session has expired; the
      // next task logs in again.
      n->dead = true;
      n->curlLoggedIn = false;
      break;
    }
    case SENSOR_NOVALUE:
      n->dead = false;
      snprintf(msg, sizeof msg,
               "Could not find \"Value\" in openbmc sensor data for sensor %s "
               "on %s\n",
               n->curlCurSens, n->name);
      error_msg(msg);
      break;
    default: {
      n->dead = false;
      if (reading > 0) n->initfirsttime();
      n->reportsensor(n->curlCurSens, reading);
      openbmc_sensor* s = findopenbmcsensor(n, n->curlCurSens);
      if (s) s->missing = false;
      break;
    }
  }
  return len;
}

size_t node::curlSendCommand(char* buffer, size_t size, size_t count,
                             void* body) {
  // The upload size is the body's exact length, so the library asks once
  // with room to spare; the bound only guards against a smaller request.
  size_t len = strlen(static_cast<const char*>(body));
  if (len > size * count) len = size * count;
  memcpy(buffer, body, len);
  return len;
}

void curlpowercommand(node* n, int task, time_t now) {
  const char* url;
  const char* body;
  const char* failure;
  switch (task) {
    case POWERON:
      url = kHostTransitionUrl;
      body = kPowerOnBody;
      failure = "Failed to issue power on command with curl to %s\n";
      break;
    case POWEROFF:
      url = kChassisTransitionUrl;
      body = kPowerOffBody;
      failure = "Failed to issue power off command with curl to %s\n";
      break;
    case RESET:
      url = kHostTransitionUrl;
      body = kResetBody;
      failure = "Failed to issue power reset command with curl to %s\n";
      break;
    default:
      return;
  }
  CURL* c = n->curl;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLPOWERTIMEOUTMS);
  struct curl_slist* headers = curl_slist_append(nullptr, kJsonHeader);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  // An upload over HTTP is a PUT (the older CURLOPT_PUT is deprecated).
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, node::curlPowerCommandVerify);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, node::curlSendCommand);
  snprintf(n->curlURL, CURLURLLEN, url, n->name);
  curl_easy_setopt(c, CURLOPT_READDATA, body);
  curl_easy_setopt(c, CURLOPT_INFILESIZE, static_cast<long>(strlen(body)));
  if (task == POWERON) n->curlLastPwrOnCmd = now;
  curl_easy_setopt(c, CURLOPT_URL, n->curlURL);
  n->res = curl_easy_perform(c);
  curl_slist_free_all(headers);
  if (n->res != CURLE_OK) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg, failure, n->name);
    error_msg(msg);
  }
}

void curlpowerstate(node* n) {
  CURL* c = n->curl;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLPOWERTIMEOUTMS);
  snprintf(n->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/state/chassis0", n->name);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, node::curlPowerStatus);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, n);
  curl_easy_setopt(c, CURLOPT_URL, n->curlURL);
  n->res = curl_easy_perform(c);
  if (n->res != CURLE_OK) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg,
             "Failed to issue power status command with curl to %s\n", n->name);
    error_msg(msg);
  }
}

namespace {

// Reads one sensor by its chassis name; reports a failed transfer with
// `failure`, which takes the node name and libcurl's text.
void readsensor(node* n, const char* sensorname, const char* failure) {
  CURL* c = n->curl;
  n->curlCurSens = sensorname;
  curl_easy_setopt(c, CURLOPT_WRITEDATA, n);
  snprintf(n->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/sensors/%s", n->name,
           sensorname);
  curl_easy_setopt(c, CURLOPT_URL, n->curlURL);
  n->res = curl_easy_perform(c);
  if (n->res != CURLE_OK) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg, failure, n->name, curl_easy_strerror(n->res));
    error_msg(msg);
  }
}

}  // namespace

void curlreadsensors(node* n) {
  CURL* c = n->curl;
  chassis* ch = n->thischassis;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, node::curlGetData);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, CURLCONNECTTIMEOUTMS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLREADTIMEOUTMS);
  for (int i = 0; i < ch->numfans; i++)
    readsensor(n, ch->fanname[i],
               "Failed to read fan sensor on %s with curl:\n%s\n");
  for (int i = 0; i < ch->numtemps; i++)
    readsensor(n, ch->tempname[i],
               "Failed to read temp sensor on %s with curl:\n%s\n");
  for (int i = 0; i < ch->numvolts; i++)
    readsensor(n, ch->voltname[i],
               "Failed to read volt sensor on %s with curl:\n%s\n");
}
