// The OpenBMC REST requests and the judges of their replies. Each request
// resets the node's handle (its connection and cookies survive the reset)
// and sets its own options. A reply is collected whole, as the library hands
// it over in pieces that split it anywhere, and judged once its transfer is
// done. The judges write what they find into the node; they format messages
// in buffers of their own, as the main thread may be using the node's
// tmperrmsg at the same time.
#include <stdio.h>
#include <string.h>

#include "config/tls.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "openbmc/openbmc.h"
#include "openbmc/replies.h"

namespace {

const char JSONHEADER[] = "Content-Type: application/json";
const char POWERONBODY[] =
    "{\"data\": \"xyz.openbmc_project.State.Host.Transition.On\"}";
const char POWEROFFBODY[] =
    "{\"data\": \"xyz.openbmc_project.State.Chassis.Transition.Off\"}";
const char RESETBODY[] =
    "{\"data\": \"xyz.openbmc_project.State.Host.Transition.Reboot\"}";
const char HOSTTRANSITIONPATH[] =
    "/xyz/openbmc_project/state/host0/attr/RequestedHostTransition";
const char CHASSISTRANSITIONPATH[] =
    "/xyz/openbmc_project/state/chassis0/attr/RequestedPowerTransition";

// Clears the handle's options. Signals must stay out of a handle used from a
// thread: libcurl would otherwise use SIGALRM for its name look-up time-out.
void resethandle(CURL* c) {
  curl_easy_reset(c);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
}

// The node's record of the OpenBMC sensor with this chassis name, or null.
openbmc_sensor* findopenbmcsensor(openbmc_link* l, const char* name) {
  for (int kind = FAN; kind < DISC; kind++) {
    openbmc_sensor** table = l->sensortable(kind);
    int count = l->owner->thischassis->slots(kind).count;
    for (int i = 0; i < count; i++) {
      openbmc_sensor* s = table[i];
      if (s && s->name && strcmp(s->name, name) == 0) return s;
    }
  }
  return nullptr;
}

}  // namespace

size_t collectreply(char* data, size_t size, size_t count, void* thelink) {
  openbmc_link* l = static_cast<openbmc_link*>(thelink);
  size_t len = size * count;
  if (!appendreply(&l->curlReply, data, len)) {
    l->curlReplyTooLong = true;
    return 0;  // ends the transfer with a write error
  }
  return len;
}

void openbmc_link::say(const char* key, const char* text, bool bycommand) {
  if (bycommand) {
    error_msg(text);
    return;
  }
  unsigned heldback = 0;
  msglimiter& limiter = curlMessages[key ? key : text];
  if (!limiter.allow(nowtime(), MESSAGEPERIOD, &heldback)) return;
  if (heldback == 0) {
    error_msg(text);
    return;
  }
  char msg[2 * MSGLEN];
  snprintf(msg, sizeof msg, "%s(%u more since it was last said)\n",
           text, heldback);
  error_msg(msg);
}

namespace {

// Starts a request's transfer with an empty reply and runs it. A reply cut
// off at OPENBMCMAXREPLY is said here, as the one failure of the request;
// true when a whole reply is in curlReply.
bool perform(openbmc_link* l, bool bycommand) {
  CURL* c = l->curl;
  l->curlReply.clear();
  l->curlReplyTooLong = false;
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collectreply);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, l);
  l->res = curl_easy_perform(c);
  long status = 0;
  curl_off_t micros = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_getinfo(c, CURLINFO_TOTAL_TIME_T, &micros);
  l->requests.count(static_cast<double>(micros) / 1e6,
                    l->res == CURLE_OPERATION_TIMEDOUT, l->res == CURLE_OK,
                    status);
  if (l->res != CURLE_OK) l->curlPassFailed = true;
  if (l->curlReplyTooLong) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg, "Reply from %s to %s longer than %zu bytes\n",
             l->owner->name, l->curlURL, OPENBMCMAXREPLY);
    l->say(nullptr, msg, bycommand);
  }
  return l->res == CURLE_OK;
}

// Gives back what a flood left in the buffer: a node keeps little between
// its requests.
void trimreply(openbmc_link* l) {
  if (l->curlReply.capacity() > 64 * 1024) std::string().swap(l->curlReply);
}

long httpcode(openbmc_link* l) {
  long code = 0;
  curl_easy_getinfo(l->curl, CURLINFO_RESPONSE_CODE, &code);
  return code;
}

}  // namespace

bool openbmc_link::curlLogin(openbmc_link* l, bool bycommand) {
  node* n = l->owner;
  CURL* c = l->curl;
  l->curlInLogin = true;
  l->curlPacer.attempted(nowtime(), bycommand);
  resethandle(c);
  snprintf(l->curlURL, CURLURLLEN, "https://%s-ipmi/login", n->name);
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  // Switches the cookie store on without reading a file: the session cookie
  // of the reply then goes out with every later request of the handle.
  curl_easy_setopt(c, CURLOPT_COOKIEFILE, "");
  // Escaped, so that any password gives a valid body.
  formatloginbody(l->curlDATA, CURLDATALEN, n->username, n->password);
  curl_easy_setopt(c, CURLOPT_POSTFIELDS, l->curlDATA);
  settlsoptions(c);
  struct curl_slist* headers = curl_slist_append(nullptr, JSONHEADER);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, CURLCONNECTTIMEOUTMS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLLOGINTIMEOUTMS);
  bool whole = perform(l, bycommand);
  curl_slist_free_all(headers);
  if (whole) {
    l->judgelogin(httpcode(l), bycommand);
  } else {
    l->curlLoggedIn = false;
    if (l->curlReplyTooLong) n->reportunreachable();
  }
  trimreply(l);
  l->curlInLogin = false;
  return whole;
}

void openbmc_link::judgelogin(long code, bool bycommand) {
  node* n = owner;
  const char* data = curlReply.data();
  size_t len = curlReply.size();
  char msg[MSGLEN];
  if (loginrefused(code, data, len)) {
    // The wait before the next login of the poll doubles. A command's
    // refusal is said each time; the poll's at the first, then hourly
    // while they last.
    const time_t now = nowtime();
    curlPacer.refused(now);
    snprintf(msg, sizeof msg, "Login to %s failed\n", n->name);
    unsigned heldback = 0;
    if (bycommand) {
      error_msg(msg);
    } else if (curlPacer.sayrefusal(now, &heldback)) {
      if (heldback > 0)
        snprintf(msg, sizeof msg,
                 "Login to %s failed\n(%u more since it was last said)\n",
                 n->name, heldback);
      error_msg(msg);
    }
    n->reportunreachable();
    curlLoggedIn = false;
    return;
  }
  switch (loginreply(data, len)) {
    case LOGIN_OK:
      n->reportanswered();
      curlLoggedIn = true;
      curlWatts = true;  // a BMC that restarted may have gained the sensor
      if (int refusals = curlPacer.accepted()) {
        snprintf(msg, sizeof msg,
                 "Login to %s accepted again after %d refused logins\n",
                 n->name, refusals);
        info_msg(msg);
      }
      break;
    case LOGIN_REFUSED:
      snprintf(msg, sizeof msg, "Login to %s failed\n", n->name);
      say(nullptr, msg, bycommand);
      n->reportunreachable();
      curlLoggedIn = false;
      break;
    default: {
      snprintf(msg, sizeof msg,
               "Login to %s failed with unexpected result: %s\n", n->name,
               replytext(data, len).c_str());
      char key[MSGLEN];
      snprintf(key, sizeof key, "Login to %s failed with unexpected result",
               n->name);
      say(key, msg, bycommand);
      n->reportunreachable();
      curlLoggedIn = false;
      break;
    }
  }
}

void openbmc_link::judgepowerstate() {
  node* n = owner;
  switch (powerstatereply(curlReply.data(), curlReply.size())) {
    case POWERSTATE_ON:
      n->reportpower(true);
      break;
    case POWERSTATE_OFF:
      n->reportpower(false);  // a powered-off node is alive
      break;
    default: {
      char msg[MSGLEN];
      snprintf(msg, sizeof msg,
               "Could not determine power status from %s: %s\n", n->name,
               replytext(curlReply.data(), curlReply.size()).c_str());
      char key[MSGLEN];
      snprintf(key, sizeof key, "Could not determine power status from %s",
               n->name);
      // A reply cut off at the bound has been said already.
      if (!curlReplyTooLong) say(key, msg, false);
      // A busy or failing BMC (a 5xx page) is asked again at the next poll;
      // the model's staleness rules decide when one that stays so is dead.
      // Most often the session has expired: log in again before the next
      // task, or a node that is off (and so never asked for sensors, whose
      // reply would end the session) would stay dead for good.
      curlLoggedIn = false;
      break;
    }
  }
}

void openbmc_link::judgesensor(long code) {
  node* n = owner;
  char msg[MSGLEN];
  double reading = 0.0;
  switch (sensorreply(curlReply.data(), curlReply.size(), &reading)) {
    case SENSOR_NOSCALE: {
      // A sensor the BMC does not have is a fault of the chassis file, not
      // of the session: it must not make the node flap dead at every poll.
      if (code == 404) {
        // Said once, not at every readout, until the BMC has it again.
        openbmc_sensor* s = findopenbmcsensor(this, curlCurSens);
        if (s && s->missing) break;
        if (s) s->missing = true;
        snprintf(msg, sizeof msg, "OpenBMC sensor %s not found on %s\n",
                 curlCurSens, n->name);
        error_msg(msg);
        break;
      }
      // Any other reply without a scale means the session has expired; the
      // next task logs in again, and only a refused login makes the node
      // dead.
      curlLoggedIn = false;
      break;
    }
    case SENSOR_NOVALUE:
      n->reportanswered();
      snprintf(msg, sizeof msg,
               "Could not find \"Value\" in openbmc sensor data for sensor %s "
               "on %s\n",
               curlCurSens, n->name);
      say(nullptr, msg, false);
      break;
    default: {
      n->reportanswered();
      n->reportreading(curlCurSens, reading);
      if (strcmp(curlCurSens, OPENBMCTOTALPOWER) == 0) n->reportwatts(reading);
      openbmc_sensor* s = findopenbmcsensor(this, curlCurSens);
      if (s) s->missing = false;
      break;
    }
  }
}

void openbmc_link::judgewatts(long code) {
  double reading = 0.0;
  if (sensorreply(curlReply.data(), curlReply.size(), &reading) ==
      SENSOR_READING) {
    owner->reportwatts(reading);
    return;
  }
  // An expired session: the next task logs in, and asks again.
  if (code == 401) {
    curlLoggedIn = false;
    return;
  }
  // Most BMCs have no such sensor: the one 404 is not worth a word. A
  // figure that can no longer be read must not stand as the current one.
  curlWatts = false;
  owner->reportwatts(-1.0);
}

size_t openbmc_link::curlSendCommand(char* buffer, size_t size, size_t count,
                             void* body) {
  // The upload size is the body's exact length, so the library asks once
  // with room to spare; the bound only guards against a smaller request.
  size_t len = strlen(static_cast<const char*>(body));
  if (len > size * count) len = size * count;
  memcpy(buffer, body, len);
  return len;
}

void curlpowercommand(openbmc_link* l, int task, time_t now) {
  node* n = l->owner;
  const char* path;
  const char* body;
  const char* what;  // for the failure message
  switch (task) {
    case POWERON:
      path = HOSTTRANSITIONPATH;
      body = POWERONBODY;
      what = "power on";
      break;
    case POWEROFF:
      path = CHASSISTRANSITIONPATH;
      body = POWEROFFBODY;
      what = "power off";
      break;
    case RESET:
      path = HOSTTRANSITIONPATH;
      body = RESETBODY;
      what = "power reset";
      break;
    default:
      return;
  }
  CURL* c = l->curl;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLPOWERTIMEOUTMS);
  struct curl_slist* headers = curl_slist_append(nullptr, JSONHEADER);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers);
  // An upload over HTTP is a PUT (the older CURLOPT_PUT is deprecated).
  curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
  curl_easy_setopt(c, CURLOPT_READFUNCTION, openbmc_link::curlSendCommand);
  snprintf(l->curlURL, CURLURLLEN, "https://%s-ipmi%s", n->name, path);
  curl_easy_setopt(c, CURLOPT_READDATA, body);
  curl_easy_setopt(c, CURLOPT_INFILESIZE, static_cast<long>(strlen(body)));
  if (task == POWERON) l->curlLastPwrOnCmd = now;
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  // The reply says nothing the next power-state request would not.
  bool whole = perform(l, true);
  trimreply(l);
  curl_slist_free_all(headers);
  if (!whole && !l->curlReplyTooLong) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg, "Failed to issue %s command with curl to %s\n",
             what, n->name);
    error_msg(msg);
  }
}

void curlpowerstate(openbmc_link* l) {
  node* n = l->owner;
  CURL* c = l->curl;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLPOWERTIMEOUTMS);
  snprintf(l->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/state/chassis0", n->name);
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  if (perform(l, false)) {
    l->judgepowerstate();
  } else if (l->curlReplyTooLong) {
    l->judgepowerstate();  // as a reply without a power state
  } else {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg,
             "Failed to issue power status command with curl to %s\n", n->name);
    l->say(nullptr, msg, false);
  }
  trimreply(l);
}

namespace {

// Reads one sensor by its chassis name; a failed transfer is reported with
// the sensor's kind in words.
void readsensor(openbmc_link* l, const char* sensorname, const char* kind) {
  node* n = l->owner;
  CURL* c = l->curl;
  l->curlCurSens = sensorname;
  snprintf(l->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/sensors/%s", n->name,
           sensorname);
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  if (perform(l, false)) {
    l->judgesensor(httpcode(l));
  } else if (!l->curlReplyTooLong) {
    char msg[MSGLEN];
    snprintf(msg, sizeof msg, "Failed to read %s sensor on %s with curl:\n%s\n",
             kind, n->name, transfererror(l->curl, l->res));
    l->say(nullptr, msg, false);
  }
  trimreply(l);
}

}  // namespace

void curlreadsensors(openbmc_link* l) {
  CURL* c = l->curl;
  chassis* ch = l->owner->thischassis;
  resethandle(c);
  settlsoptions(c);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, CURLCONNECTTIMEOUTMS);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLREADTIMEOUTMS);
  // Discrete sensors are not read over this interface.
  static const char* const words[] = {"fan", "temp", "volt"};
  for (int kind = FAN; kind < DISC; kind++) {
    chassisslots slots = ch->slots(kind);
    for (int i = 0; i < slots.count; i++)
      readsensor(l, slots.names[i], words[kind]);
  }
  // A chassis that reads the total power as a slot has it already.
  if (!l->curlWatts || findopenbmcsensor(l, OPENBMCTOTALPOWER)) return;
  l->curlCurSens = OPENBMCTOTALPOWER;
  snprintf(l->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/sensors/%s", l->owner->name,
           OPENBMCTOTALPOWER);
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  // A failed transfer is asked again next pass, without a word: the
  // readings' requests speak for the BMC.
  if (perform(l, false)) l->judgewatts(httpcode(l));
  trimreply(l);
}

bool curlenumerate(openbmc_link* l, long* status) {
  CURL* c = l->curl;
  // Not reset after the login: libcurl 7.88 loses the cookie-file list on a
  // reset (17 bytes). The login's options that would change this request
  // are undone instead: its body, and its header list, freed since.
  curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, CURLREADTIMEOUTMS);
  snprintf(l->curlURL, CURLURLLEN,
           "https://%s-ipmi/xyz/openbmc_project/sensors/enumerate",
           l->owner->name);
  curl_easy_setopt(c, CURLOPT_URL, l->curlURL);
  bool whole = perform(l, true);
  *status = httpcode(l);
  return whole;
}
