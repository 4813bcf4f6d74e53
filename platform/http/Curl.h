#pragma once

// The libcurl calls the client makes, resolved from the library when the first request or
// URL needs them. Linked, libcurl and its two dozen libraries would be mapped and
// relocated at every start of the daemon (about half of its start-up time on a small
// machine), though only update checks use them.

#include <curl/curl.h>
#include <string>

namespace http {

// The library's soname: the ABI the headers describe.
inline constexpr const char* kCurlLibrary = "libcurl.so.4";

struct Curl {
    decltype(&::curl_global_init) global_init;
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_getinfo) easy_getinfo;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_setopt) multi_setopt;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_socket_action) multi_socket_action;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_url) url;
    decltype(&::curl_url_set) url_set;
    decltype(&::curl_url_get) url_get;
    decltype(&::curl_url_cleanup) url_cleanup;
    decltype(&::curl_free) free;
};

// The loaded library, with curl_global_init done; loaded once per process and never
// unloaded. Null when the library or one of the calls cannot be found: `error` (when given)
// then says why, the same text on every call.
const Curl* loadCurl(std::string* error = nullptr);

} // namespace http
