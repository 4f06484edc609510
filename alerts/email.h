// The alert e-mail: composing its text and sending it over SMTP.
#ifndef KESTREL_ALERTS_EMAIL_H_
#define KESTREL_ALERTS_EMAIL_H_

#include <stddef.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "alerts/alert.h"
#include "model/locks.h"

constexpr size_t EMAILBODYLEN = 262144;  // body buffer, NUL included
constexpr size_t EMAILENTRYLEN = 8000;   // one alert's entry, NUL included
constexpr size_t EMAILMSGLEN = 264191;   // whole message, NUL included
constexpr long EMAILTIMEOUTMS = 4500;    // bound of one SMTP transfer

class email;

// One e-mail handed to a sender thread. The sender owns a copy of all it
// transmits, so the next e-mail can be composed while it still runs.
struct outgoingmail {
  email* owner;
  std::string server;
  std::string from;
  std::string to;
  std::string subject;
  std::string body;
  std::atomic<bool> cancelled{false};  // set by the main thread: give way
  // Set by the sender before finished: the server took the e-mail, also
  // when the sender was told to give way too late to stop it.
  std::atomic<bool> accepted{false};
  std::atomic<bool> finished{false};  // set by the sender as it ends
};

class email {
 public:
  email();
  void init(const char* recipients, const char* sender,
            const char* smtpserver);
  bool configured() const;  // init has run
  bool clear();
  // Appends the alert's entry; `poweroff`: its node is being powered off;
  // `drain`: DRAIN_*, what Slurm makes of it.
  bool add(const alert& a, bool poweroff, int drain = DRAIN_NONE);
  bool addtest();
  // Appends a section of the alert e-mail as it is.
  bool addsection(const std::string& text);
  // A sender has been started and has not ended yet.
  bool sending() const;
  // Copies what the next sender transmits; main thread.
  std::shared_ptr<outgoingmail> prepare();
  // The SMTP transfer of one e-mail; runs on its sender thread.
  void* send(outgoingmail* job);
  static size_t curlSendMail(char* buffer, size_t size, size_t nitems,
                             void* userp);

  std::atomic<short> threadstatus;  // ALERT_STATUS_*; main thread and senders
  char* body;                       // main thread only; senders copy it
  // Set by init while the configuration is read, before any sender runs;
  // read-only after but for subject, which the main thread sets per e-mail.
  // Senders never read these: prepare() copies them.
  char to[512];
  char from[512];
  char server[256];
  char subject[1024];
  char* bodyindex;  // end of the text in body; main thread only

  // Orders status writes of senders against their cancellation, so that a
  // sender that was told to give way never overwrites its successor's state.
  lockable senderlock;
  std::shared_ptr<outgoingmail> current;  // sender started last; main thread

 private:
  bool append(const char* entry, size_t len);
};

// Writes one alert's entry into out and returns its length; `poweroff`:
// the entry announces that its node is being powered off (shutdowndue);
// `drain` (DRAIN_*): a sentence on the node in Slurm, ahead of the
// power-off. Pure text: it decides nothing.
size_t formatalert(const alert& a, bool poweroff, char* out, size_t outlen,
                   int drain = DRAIN_NONE);

// The SMTP recipients of a recipient setting: every comma ends one, the
// text after the last comma is the last; blanks around each are dropped,
// empty ones skipped, each cut to 511 characters.
std::vector<std::string> splitrecipients(const std::string& to);

size_t curlDiscardWriteback(void* contents, size_t size, size_t nmemb,
                            void* userp);

#endif  // KESTREL_ALERTS_EMAIL_H_
