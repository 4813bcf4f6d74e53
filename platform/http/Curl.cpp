#include "platform/http/Curl.h"

#include <dlfcn.h>

namespace http {

namespace {

struct Loaded {
    Curl calls{};
    bool complete = false;
    std::string error;
};

template <typename Call>
bool resolve(void* library, const char* name, Call* call, Loaded* into) {
    *call = reinterpret_cast<Call>(::dlsym(library, name));
    if (!*call && into->error.empty()) {
        into->error = std::string("cannot load ") + kCurlLibrary + ": " + name + " is missing";
    }
    return *call != nullptr;
}

Loaded load() {
    Loaded loaded;
    void* library = ::dlopen(kCurlLibrary, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* why = ::dlerror();
        loaded.error = std::string("cannot load ") + kCurlLibrary + ": " + (why ? why : "");
        return loaded;
    }
    Curl& c = loaded.calls;
    // Every call is tried, so that the first missing one is named.
    bool found = resolve(library, "curl_global_init", &c.global_init, &loaded);
    found &= resolve(library, "curl_easy_init", &c.easy_init, &loaded);
    found &= resolve(library, "curl_easy_setopt", &c.easy_setopt, &loaded);
    found &= resolve(library, "curl_easy_getinfo", &c.easy_getinfo, &loaded);
    found &= resolve(library, "curl_easy_cleanup", &c.easy_cleanup, &loaded);
    found &= resolve(library, "curl_easy_strerror", &c.easy_strerror, &loaded);
    found &= resolve(library, "curl_multi_init", &c.multi_init, &loaded);
    found &= resolve(library, "curl_multi_setopt", &c.multi_setopt, &loaded);
    found &= resolve(library, "curl_multi_add_handle", &c.multi_add_handle, &loaded);
    found &= resolve(library, "curl_multi_remove_handle", &c.multi_remove_handle, &loaded);
    found &= resolve(library, "curl_multi_socket_action", &c.multi_socket_action, &loaded);
    found &= resolve(library, "curl_multi_info_read", &c.multi_info_read, &loaded);
    found &= resolve(library, "curl_multi_cleanup", &c.multi_cleanup, &loaded);
    found &= resolve(library, "curl_url", &c.url, &loaded);
    found &= resolve(library, "curl_url_set", &c.url_set, &loaded);
    found &= resolve(library, "curl_url_get", &c.url_get, &loaded);
    found &= resolve(library, "curl_url_cleanup", &c.url_cleanup, &loaded);
    found &= resolve(library, "curl_free", &c.free, &loaded);
    if (!found) {
        return loaded;
    }
    if (const CURLcode code = c.global_init(CURL_GLOBAL_DEFAULT); code != CURLE_OK) {
        loaded.error = std::string("cannot start ") + kCurlLibrary + ": " + c.easy_strerror(code);
        return loaded;
    }
    loaded.complete = true;
    return loaded;
}

} // namespace

const Curl* loadCurl(std::string* error) {
    static const Loaded loaded = load();
    if (!loaded.complete) {
        if (error) {
            *error = loaded.error;
        }
        return nullptr;
    }
    return &loaded.calls;
}

} // namespace http
