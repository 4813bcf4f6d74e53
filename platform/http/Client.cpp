#include "platform/http/Client.h"

#include "platform/dispatch/Reactor.h"
#include "platform/dispatch/Runtime.h"
#include "platform/dispatch/Source.h"
#include "platform/files/Files.h"
#include "platform/http/Curl.h"
#include "platform/paths/Paths.h"

#include <algorithm>
#include <dirent.h>
#include <map>
#include <sys/epoll.h>

namespace http {

std::string distributionTrustFolder() {
    return paths::path("/usr/share/ca-certificates/mozilla");
}

namespace {

// A root certificate file is at most this large; the folder holds a few hundred.
constexpr std::size_t kMaximumCertificateSize = 1 << 20;

// The PEM text of every certificate file in `folder`, concatenated in name order.
std::string trustBundle(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && (name.ends_with(".crt") || name.ends_with(".pem"))) {
                names.push_back(name);
            }
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    std::string bundle;
    for (const auto& name : names) {
        if (auto bytes = files::readFile(folder + "/" + name, kMaximumCertificateSize)) {
            bundle.append(bytes->begin(), bytes->end());
            bundle += '\n';
        }
    }
    return bundle;
}

class CurlClient;

// One transfer in flight.
struct Transfer {
    CURL* easy = nullptr;
    Request request;
    std::function<void(Response)> completion;
    std::vector<std::uint8_t> body;
    std::size_t received = 0;
    bool tooLarge = false;
    bool writeFailed = false;
};

class CurlClient final : public Client, public std::enable_shared_from_this<CurlClient> {
public:
    CurlClient(dispatch::QueuePtr queue, Options options)
        : queue_(std::move(queue)), options_(std::move(options)) {}

    ~CurlClient() override {
        timer_.reset();
        for (auto& [fd, watch] : watches_) {
            dispatch::Runtime::shared().reactor().remove(watch.id);
        }
        for (auto& [easy, transfer] : transfers_) {
            curl_->multi_remove_handle(multi_, easy);
            curl_->easy_cleanup(easy);
        }
        if (multi_) {
            curl_->multi_cleanup(multi_);
        }
    }

    void get(Request request, std::function<void(Response)> completion) override {
        queue_->async([self = shared_from_this(), request = std::move(request),
                       completion = std::move(completion)]() mutable {
            self->start(std::move(request), std::move(completion));
        });
    }

private:
    struct Watch {
        uint64_t id = 0;
        uint64_t generation = 0;
    };

    // False, with `error` set, when curl cannot be loaded or started.
    bool setUp(std::string* error) {
        if (multi_) {
            return true;
        }
        curl_ = loadCurl(error);
        if (!curl_) {
            return false;
        }
        multi_ = curl_->multi_init();
        if (!multi_) {
            *error = curl_->easy_strerror(CURLE_FAILED_INIT);
            return false;
        }
        bundle_ = trustBundle(options_.trustFolder);
        timer_ = std::make_unique<dispatch::TimerSource>(queue_, [weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->act(CURL_SOCKET_TIMEOUT, 0);
            }
        });
        curl_->multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlClient::socketCallback);
        curl_->multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
        curl_->multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlClient::timerCallback);
        curl_->multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
        return true;
    }

    void start(Request request, std::function<void(Response)> completion) {
        auto transfer = std::make_unique<Transfer>();
        transfer->request = std::move(request);
        transfer->completion = std::move(completion);
        std::string failure;
        CURL* easy = setUp(&failure) ? curl_->easy_init() : nullptr;
        if (!easy) {
            Response response;
            response.errorCode = CURLE_FAILED_INIT;
            // Without a failure of the set-up, curl is loaded and its handle failed.
            response.error = failure.empty() ? curl_->easy_strerror(CURLE_FAILED_INIT) : failure;
            transfer->completion(std::move(response));
            return;
        }
        transfer->easy = easy;
        curl_blob trust{bundle_.data(), bundle_.size(), CURL_BLOB_NOCOPY};
        curl_->easy_setopt(easy, CURLOPT_URL, transfer->request.url.c_str());
        curl_->easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "https");
        curl_->easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "https");
        curl_->easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_->easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
        curl_->easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        curl_->easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_->easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
        // Only the folder's roots: no compiled-in bundle or folder, no native store.
        curl_->easy_setopt(easy, CURLOPT_CAINFO, nullptr);
        curl_->easy_setopt(easy, CURLOPT_CAPATH, nullptr);
        curl_->easy_setopt(easy, CURLOPT_CAINFO_BLOB, &trust);
        curl_->easy_setopt(easy, CURLOPT_PROXY, "");
        curl_->easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_->easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                           static_cast<long>(options_.connectTimeout.count()));
        curl_->easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_->easy_setopt(
            easy, CURLOPT_LOW_SPEED_TIME,
            std::max(1L, static_cast<long>((options_.stallTimeout.count() + 999) / 1000)));
        curl_->easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                           static_cast<curl_off_t>(transfer->request.maxSize));
        curl_->easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlClient::writeCallback);
        curl_->easy_setopt(easy, CURLOPT_WRITEDATA, transfer.get());
        curl_->easy_setopt(easy, CURLOPT_PRIVATE, transfer.get());
        transfers_[easy] = std::move(transfer);
        curl_->multi_add_handle(multi_, easy);
    }

    static size_t writeCallback(char* data, size_t size, size_t count, void* user) {
        auto* transfer = static_cast<Transfer*>(user);
        const size_t length = size * count;
        if (transfer->received + length > transfer->request.maxSize) {
            transfer->tooLarge = true;
            return 0; // ends the transfer with a write error
        }
        transfer->received += length;
        if (transfer->request.bodyFd < 0) {
            transfer->body.insert(transfer->body.end(), data, data + length);
        } else if (!files::writeAll(transfer->request.bodyFd,
                                    {reinterpret_cast<const std::uint8_t*>(data), length},
                                    "download")) {
            transfer->writeFailed = true;
            return 0;
        }
        return length;
    }

    static int socketCallback(CURL*, curl_socket_t fd, int what, void* user, void*) {
        static_cast<CurlClient*>(user)->watch(fd, what);
        return 0;
    }

    static int timerCallback(CURLM*, long timeoutMs, void* user) {
        auto* self = static_cast<CurlClient*>(user);
        if (timeoutMs < 0) {
            self->timer_->disarm();
        } else if (timeoutMs == 0) {
            // Not from inside curl's own call: on the queue, right after it.
            self->timer_->disarm();
            self->queue_->async([weak = self->weak_from_this()] {
                if (auto s = weak.lock()) {
                    s->act(CURL_SOCKET_TIMEOUT, 0);
                }
            });
        } else {
            self->timer_->schedule(dispatch::afterNow(std::chrono::milliseconds(timeoutMs)));
        }
        return 0;
    }

    // Follows curl's interest in `fd`: a one-shot reactor registration for the events it
    // wants, handing readiness to the queue.
    void watch(curl_socket_t fd, int what) {
        auto& reactor = dispatch::Runtime::shared().reactor();
        auto found = watches_.find(fd);
        if (found != watches_.end()) {
            reactor.remove(found->second.id);
            watches_.erase(found);
        }
        if (what == CURL_POLL_REMOVE) {
            return;
        }
        uint32_t events = 0;
        if (what & CURL_POLL_IN) {
            events |= EPOLLIN;
        }
        if (what & CURL_POLL_OUT) {
            events |= EPOLLOUT;
        }
        const uint64_t generation = ++generation_;
        uint64_t id =
            reactor.add(fd, events | EPOLLONESHOT,
                        [weak = weak_from_this(), queue = queue_, fd, generation](uint32_t ready) {
                            queue->async([weak, fd, generation, ready] {
                                if (auto self = weak.lock()) {
                                    self->ready(fd, generation, ready);
                                }
                            });
                        });
        if (id != 0) {
            watches_[fd] = {id, generation};
        }
    }

    void ready(curl_socket_t fd, uint64_t generation, uint32_t events) {
        auto found = watches_.find(fd);
        if (found == watches_.end() || found->second.generation != generation) {
            return; // curl has moved on from that registration
        }
        int mask = 0;
        if (events & (EPOLLIN | EPOLLHUP)) {
            mask |= CURL_CSELECT_IN;
        }
        if (events & EPOLLOUT) {
            mask |= CURL_CSELECT_OUT;
        }
        if (events & EPOLLERR) {
            mask |= CURL_CSELECT_ERR;
        }
        act(fd, mask);
        found = watches_.find(fd);
        if (found != watches_.end() && found->second.generation == generation) {
            dispatch::Runtime::shared().reactor().rearm(found->second.id);
        }
    }

    void act(curl_socket_t fd, int mask) {
        if (!multi_) {
            return;
        }
        int running = 0;
        curl_->multi_socket_action(multi_, fd, mask, &running);
        finishDone();
    }

    void finishDone() {
        int left = 0;
        while (CURLMsg* message = curl_->multi_info_read(multi_, &left)) {
            if (message->msg != CURLMSG_DONE) {
                continue;
            }
            CURL* easy = message->easy_handle;
            const CURLcode code = message->data.result;
            auto found = transfers_.find(easy);
            if (found == transfers_.end()) {
                continue;
            }
            std::unique_ptr<Transfer> transfer = std::move(found->second);
            transfers_.erase(found);
            Response response;
            if (code == CURLE_OK) {
                curl_->easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &response.status);
                response.body = std::move(transfer->body);
            } else {
                response.errorCode = code;
                response.error = describe(easy, code, *transfer);
                response.untrusted = code == CURLE_PEER_FAILED_VERIFICATION;
            }
            curl_->multi_remove_handle(multi_, easy);
            curl_->easy_cleanup(easy);
            transfer->completion(std::move(response));
        }
    }

    std::string describe(CURL* easy, CURLcode code, const Transfer& transfer) const {
        if (transfer.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
            return "the response is larger than " + std::to_string(transfer.request.maxSize) +
                   " bytes";
        }
        if (transfer.writeFailed) {
            return "the response could not be written";
        }
        std::string text = curl_->easy_strerror(code);
        if (code == CURLE_PEER_FAILED_VERIFICATION) {
            long verify = 0;
            curl_->easy_getinfo(easy, CURLINFO_SSL_VERIFYRESULT, &verify);
            text += " (verification result " + std::to_string(verify) + ")";
        }
        return text;
    }

    const dispatch::QueuePtr queue_;
    const Options options_;
    // Set by the first request.
    const Curl* curl_ = nullptr;
    CURLM* multi_ = nullptr;
    std::string bundle_;
    std::unique_ptr<dispatch::TimerSource> timer_;
    std::map<curl_socket_t, Watch> watches_;
    std::map<CURL*, std::unique_ptr<Transfer>> transfers_;
    uint64_t generation_ = 0;
};

} // namespace

std::optional<std::string> hostOfURL(const std::string& url) {
    const Curl* curl = loadCurl();
    CURLU* parsed = curl ? curl->url() : nullptr;
    if (!parsed) {
        return std::nullopt;
    }
    std::optional<std::string> host;
    char* part = nullptr;
    if (curl->url_set(parsed, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl->url_get(parsed, CURLUPART_HOST, &part, 0) == CURLUE_OK && part && *part) {
        host = part;
    }
    curl->free(part);
    curl->url_cleanup(parsed);
    return host;
}

std::shared_ptr<Client> createClient(dispatch::QueuePtr queue, Options options) {
    return std::make_shared<CurlClient>(std::move(queue), std::move(options));
}

} // namespace http
