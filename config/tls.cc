#include "config/tls.h"

#include <string>

namespace {

// Written once at start-up, before the transports' threads run; read-only
// afterwards.
std::string cafile;

}  // namespace

void settlscafile(const char* path) { cafile = path; }

const char* tlscafile() { return cafile.c_str(); }

void settlsoptions(CURL* c) {
  if (cafile.empty()) {
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    return;
  }
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(c, CURLOPT_CAINFO, cafile.c_str());
}
