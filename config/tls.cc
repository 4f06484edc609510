#include "config/tls.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>
#include <strings.h>

#include <string>

namespace {

// Written once at start-up, before the transports' threads run; read-only
// afterwards.
std::string cafile;

// One part of a parsed URL, "" when it has none.
std::string part(CURLU* u, CURLUPart which, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(u, which, &text, flags) != CURLUE_OK) return "";
  std::string out = text;
  curl_free(text);
  return out;
}

// Whether `u` lies at the origin of `base` and carries no credentials.
bool sameorigin(CURLU* base, CURLU* u) {
  return part(u, CURLUPART_SCHEME) == "https" &&
         strcasecmp(part(u, CURLUPART_HOST).c_str(),
                    part(base, CURLUPART_HOST).c_str()) == 0 &&
         part(u, CURLUPART_PORT, CURLU_DEFAULT_PORT) ==
             part(base, CURLUPART_PORT, CURLU_DEFAULT_PORT) &&
         part(u, CURLUPART_USER).empty() &&
         part(u, CURLUPART_PASSWORD).empty() &&
         part(u, CURLUPART_OPTIONS).empty();
}

}  // namespace

void settlscafile(const char* path) { cafile = path; }

const char* tlscafile() { return cafile.c_str(); }

void settlsoptions(CURL* c) {
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
  // "" overrides https_proxy, all_proxy and their kin.
  curl_easy_setopt(c, CURLOPT_PROXY, "");
  if (cafile.empty()) {
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CAINFO, cafile.c_str());
}

bool bmcurl(const char* host, const std::string& ref, std::string* url) {
  if (ref.empty()) return false;
  for (unsigned char ch : ref)
    if (ch < 0x20 || ch == 0x7f) return false;
  // "//host/path" is a path only in name: it names another host.
  const bool path = ref[0] == '/';
  if (path && ref.size() > 1 && (ref[1] == '/' || ref[1] == '\\'))
    return false;
  const std::string origin = std::string("https://") + host + "/";
  CURLU* base = curl_url();
  CURLU* u = curl_url();
  bool ok = base && u &&
            curl_url_set(base, CURLUPART_URL, origin.c_str(), 0) == CURLUE_OK;
  if (ok && path) {
    // Resolved against the origin, as a link of the BMC's own pages.
    curl_url_cleanup(u);
    u = curl_url_dup(base);
    ok = u && curl_url_set(u, CURLUPART_URL, ref.c_str(), 0) == CURLUE_OK;
  } else if (ok) {
    // A whole URL needs its own scheme: "@evil:8443/x" has none.
    ok = curl_url_set(u, CURLUPART_URL, ref.c_str(), 0) == CURLUE_OK;
  }
  ok = ok && sameorigin(base, u);
  if (ok) {
    curl_url_set(u, CURLUPART_FRAGMENT, nullptr, 0);
    std::string whole = part(u, CURLUPART_URL);
    ok = !whole.empty();
    if (url) *url = whole;
  }
  curl_url_cleanup(u);
  curl_url_cleanup(base);
  return ok;
}

std::string peertext(const std::string& text, size_t max) {
  std::string out;
  for (unsigned char ch : text) {
    if (out.size() >= max) return out + "...";
    if (ch < 0x20 || ch > 0x7e || ch == '\\') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\x%02x", ch);
      out += esc;
    } else {
      out += static_cast<char>(ch);
    }
  }
  return out;
}

const char* transfererror(CURL* c, CURLcode res) {
  const char* const nodescriptor = "no file descriptor left (Too many open files)";
  long oserror = 0;
  if (c && curl_easy_getinfo(c, CURLINFO_OS_ERRNO, &oserror) == CURLE_OK &&
      (oserror == EMFILE || oserror == ENFILE))
    return nodescriptor;
  if (res != CURLE_COULDNT_RESOLVE_HOST && res != CURLE_COULDNT_CONNECT &&
      res != CURLE_FAILED_INIT)
    return curl_easy_strerror(res);
  // The threaded resolver keeps no errno of its own: ask the system whether
  // a descriptor can be had now.
  int fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return curl_easy_strerror(res);
  }
  return errno == EMFILE || errno == ENFILE ? nodescriptor
                                            : curl_easy_strerror(res);
}
