// The alert e-mail: the text of each alert's entry, the body buffer, and the
// SMTP transfer on a sender thread through libcurl.
#include <curl/curl.h>
#include <stdio.h>
#include <string.h>

#include <new>
#include <vector>

#include "alerts/alerts.h"
#include "model/counters.h"
#include "model/datastructs.h"
#include "model/globals.h"
#include "util/appendf.h"

namespace {

const char ALERTSUBJECT[] = "Automatic alert from your Varnholt Cluster";
const char TESTSUBJECT[] = "Test: Automatic alert from your Varnholt Cluster";
const char TESTLINE[] = "This is a test email to verify alert functionality\n";
const char BUFFERFULL[] =
    "Alert email buffer full!  Cannot append this message:\n";

// Bounded copy that always terminates and never reads past n - 1 characters.
void copyfield(char* dst, const char* src, size_t n) {
  snprintf(dst, n, "%s", src ? src : "");
}

// The state word of a discrete value, cut to a whole number.
const char* discstate(double value) {
  if (value >= 1.0 && value < 2.0) return "WARNING";
  if (value >= 2.0 && value < 3.0) return "CRITICAL";
  // 3 is the unknown state; anything else (no state of its own, or not a
  // number) is just as unknown to the reader.
  return "UNKNOWN";
}

const char* sensorname(const node* n, int type, int index) {
  const char* name = nullptr;
  if (n->thischassis && type >= FAN && type < NUMKINDS && index >= 0) {
    chassisslots slots = n->thischassis->slots(type);
    if (index < slots.size) name = slots.names[index];
  }
  return name ? name : "";
}

// What the e-mail says of the node in Slurm, by DRAIN_*.
const char* drainsentence(int drain) {
  switch (drain) {
    case DRAIN_STARTED:
      return "The node is being drained in Slurm: no new jobs start on it.\n";
    case DRAIN_ALREADY:
      return "The node is drained in Slurm: no new jobs start on it.\n";
    case DRAIN_HELD:
      return "The node is drained or down in Slurm for another reason; "
             "kestrel leaves it so.\n";
  }
  return nullptr;
}

int xferinfo(void* clientp, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  // Non-zero aborts the transfer: a newer e-mail has taken over.
  return static_cast<outgoingmail*>(clientp)->cancelled.load() ? 1 : 0;
}

}  // namespace

// How much of its message the current thread's sender has handed to libcurl.
thread_local unsigned int emaildataindex = 0;

size_t formatalert(const alert& a, bool poweroff, char* out, size_t outlen,
                   int drain) {
  size_t pos = 0;
  out[0] = '\0';
  const char* nodename = a.thisnode->name ? a.thisnode->name : "";
  const char* sensor = sensorname(a.thisnode, a.type, a.index);
  const char* drained = drainsentence(drain);

  if (a.type == DISC) {
    appendf(out, outlen, &pos, "Discrete sensor %s on %s is in state: %s\n",
            sensor, nodename, discstate(a.value));
    if (drained) appendf(out, outlen, &pos, "%s", drained);
    if (poweroff)
      appendf(out, outlen, &pos,
              "This sensor is marked as critical in the chassis definition. "
              "The node is being powered off now.\n\n");
    return pos;
  }

  int c = comparelimits(a.value, a.limits);
  switch (c) {
    case 1:
      appendf(out, outlen, &pos, "Warning high alert generated for node %s:\n",
              nodename);
      break;
    case 2:
      appendf(out, outlen, &pos, "Critical high alert generated for node %s:\n",
              nodename);
      break;
    case -2:
      appendf(out, outlen, &pos, "Critical low alert generated for node %s:\n",
              nodename);
      break;
    case -1:
      appendf(out, outlen, &pos, "Warning low alert generated for node %s:\n",
              nodename);
      break;
  }
  const char* kind = a.type == TEMP   ? "Temperature"
                     : a.type == VOLT ? "Voltage"
                                      : "Fan";
  appendf(out, outlen, &pos, "  %s[%d] %s reading %0.2f\n", kind, a.index + 1,
          sensor, a.value);
  appendf(out, outlen, &pos,
          "  Configured limits for this sensor are:\n"
          "      crit low: %0.2f\n     alert low: %0.2f\n"
          "    alert high: %0.2f\n     crit high: %0.2f\n",
          a.limits[CRITLOW], a.limits[ALERTLOW], a.limits[ALERTHIGH],
          a.limits[CRITHIGH]);
  if (drained) appendf(out, outlen, &pos, "  %s", drained);
  if (c == -2 || c == 2) {
    if (poweroff) {
      appendf(out, outlen, &pos,
              "  As this is a critical value, the node is being powered off "
              "now.\n\n");
    } else {
      appendf(out, outlen, &pos,
              "  This is a critical value and would trigger an automatic "
              "poweroff of the node. However, this feature is disabled.\n\n");
    }
  } else {
    appendf(out, outlen, &pos,
            "  This is just a warning.  No automatic shutdowns are occuring "
            "for this event.\n\n");
  }
  return pos;
}

email::email()
    : threadstatus(ALERT_STATUS_IDLE),
      body(nullptr),
      to(),
      from(),
      server(),
      subject(),
      bodyindex(nullptr) {}

void email::init(const char* recipients, const char* sender,
                 const char* smtpserver) {
  copyfield(to, recipients, sizeof to);
  copyfield(from, sender, sizeof from);
  copyfield(server, smtpserver, sizeof server);
  copyfield(subject, ALERTSUBJECT, sizeof subject);
  if (!body) {
    body = new (std::nothrow) char[EMAILBODYLEN]();
    if (!body) {
      fputs("Failed to initialize email alert memory.\n", stderr);
      fatalexit(1);
    }
  }
  bodyindex = body;
}

bool email::configured() const { return body != nullptr; }

bool email::clear() {
  if (!body) return false;
  memset(body, 0, EMAILBODYLEN);
  bodyindex = body;
  return true;
}

bool email::append(const char* entry, size_t len) {
  size_t used = static_cast<size_t>(bodyindex - body);
  if (used + len >= EMAILBODYLEN) {
    error_msg(BUFFERFULL);
    error_msg(entry);
    return false;
  }
  memcpy(bodyindex, entry, len);
  bodyindex += len;
  *bodyindex = '\0';
  return true;
}

bool email::add(const alert& a, bool poweroff, int drain) {
  if (!body) return false;
  copyfield(subject, ALERTSUBJECT, sizeof subject);
  std::vector<char> entry(EMAILENTRYLEN);
  size_t len = formatalert(a, poweroff, entry.data(), entry.size(), drain);
  return append(entry.data(), len);
}

bool email::addtest() {
  if (!body) return false;
  copyfield(subject, TESTSUBJECT, sizeof subject);
  return append(TESTLINE, sizeof TESTLINE - 1);
}

bool email::addsection(const std::string& text) {
  if (!body) return false;
  copyfield(subject, ALERTSUBJECT, sizeof subject);
  return append(text.c_str(), text.size());
}

bool email::sending() const {
  short status = threadstatus.load();
  return status == ALERT_STATUS_SPUN || status == ALERT_STATUS_BUSY;
}

std::shared_ptr<outgoingmail> email::prepare() {
  auto job = std::make_shared<outgoingmail>();
  job->owner = this;
  job->server = server;
  job->from = from;
  job->to = to;
  job->subject = subject;
  job->body.assign(body ? body : "", body ? bodyindex - body : 0);
  return job;
}

void* email::send(outgoingmail* job) {
  {
    holding<lockable> hold(senderlock);
    if (!job->cancelled) threadstatus = ALERT_STATUS_BUSY;
  }

  CURL* curl = curl_easy_init();
  CURLcode res = CURLE_FAILED_INIT;
  if (curl) {
    std::string url = "smtp://" + job->server;
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, EMAILTIMEOUTMS);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    // Mail goes straight to the configured server, never through a proxy
    // named in the environment, and only as mail.
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, job->from.c_str());
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, curlDiscardWriteback);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, email::curlSendMail);
    // Several threads use libcurl: name resolution must not use signals.
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    // SMTP wants CRLF line ends; strict servers refuse bare line feeds.
    curl_easy_setopt(curl, CURLOPT_CRLF, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, xferinfo);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, job);

    emaildataindex = 0;
    std::string message = "Subject: " + job->subject +
                          "\nFrom: Cluster IPMI monitoring <" + job->from +
                          ">\nTo: " + job->to + "\n\n" + job->body + "\n.\n";
    if (message.size() > EMAILMSGLEN - 1) message.resize(EMAILMSGLEN - 1);
    curl_easy_setopt(curl, CURLOPT_READDATA, &message);
    curl_easy_setopt(curl, CURLOPT_INFILESIZE,
                     static_cast<long>(message.size()));

    struct curl_slist* recipients = nullptr;
    for (const std::string& rcpt : splitrecipients(job->to))
      recipients = curl_slist_append(recipients, rcpt.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, recipients);

    res = curl_easy_perform(curl);
    (res == CURLE_OK ? counters.emailssent : counters.emailsfailed)++;
    curl_slist_free_all(recipients);
    curl_easy_cleanup(curl);
  }

  {
    holding<lockable> hold(senderlock);
    // A sender that gave way is silent: its e-mail is superseded.
    if (!job->cancelled) {
      if (res != CURLE_OK) {
        error_msg("Failed to send alert email:\n");
        error_msg(job->body.c_str());
        threadstatus = ALERT_STATUS_ERROR;
      } else {
        threadstatus = ALERT_STATUS_DONE;
      }
    }
  }
  job->accepted = res == CURLE_OK;
  job->finished = true;
  return nullptr;
}

size_t email::curlSendMail(char* buffer, size_t size, size_t nitems,
                           void* userp) {
  const std::string* message = static_cast<const std::string*>(userp);
  size_t room = size * nitems;
  size_t left =
      message->size() > emaildataindex ? message->size() - emaildataindex : 0;
  size_t n = left > room ? room : left;
  memcpy(buffer, message->data() + emaildataindex, n);
  emaildataindex += static_cast<unsigned int>(n);
  return n;
}

std::vector<std::string> splitrecipients(const std::string& to) {
  // Blanks around an address would reach the server inside RCPT TO:<...>,
  // where it reads as a different (empty) address and the alert is lost; an
  // empty recipient can make a strict server refuse the whole message.
  static const char BLANKS[] = " \t\r\n";
  std::vector<std::string> out;
  size_t start = 0;
  for (;;) {
    size_t comma = to.find(',', start);
    size_t end = comma == std::string::npos ? to.size() : comma;
    size_t first = to.find_first_not_of(BLANKS, start);
    if (first != std::string::npos && first < end) {
      size_t last = to.find_last_not_of(BLANKS, end - 1);
      out.push_back(to.substr(first, last + 1 - first).substr(0, 511));
    }
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

size_t curlDiscardWriteback(void*, size_t size, size_t nmemb, void*) {
  return size * nmemb;
}
