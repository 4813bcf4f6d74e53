#pragma once

// kbectl run in the test's process against a stand-in daemon: the messages it sends are
// recorded, the replies come from a script, and its output streams are captured.

#include "common/KBEHelperMessages.h"
#include "ctl/KBECtl.h"
#include "ctl/KBECtlDetach.h"
#include "tests/support/TestEnvironment.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace ctltest {

struct SentMessage {
    long number;
    std::optional<plist::Value> payload;
};

// Answers each message with the reply or error the test queued for its number (an empty
// reply when none was queued) and records what was sent.
class StandInDaemon final : public KBECtlMessageSending {
public:
    bool requiresAuthorizationForMessage(long message) const override {
        return !KBEHelperAuthorizationRightsForMessage(message).empty();
    }
    std::optional<plist::Dictionary>
    sendSynchronousMessage(long message, const std::optional<plist::Value>& payload,
                           std::optional<VRNError>* error) override {
        sent.push_back({message, payload});
        auto answer = answers.find(message);
        if (answer == answers.end() || answer->second.empty()) {
            return plist::Dictionary{};
        }
        auto next = std::move(answer->second.front());
        answer->second.pop_front();
        if (std::holds_alternative<VRNError>(next)) {
            *error = std::get<VRNError>(next);
            return std::nullopt;
        }
        return std::get<plist::Dictionary>(next);
    }

    void reply(long message, plist::Dictionary reply) {
        answers[message].push_back(std::move(reply));
    }
    void fail(long message, VRNError error) { answers[message].push_back(std::move(error)); }
    std::vector<long> numbers() const {
        std::vector<long> result;
        for (const auto& m : sent) {
            result.push_back(m.number);
        }
        return result;
    }

    std::vector<SentMessage> sent;

private:
    std::map<long, std::deque<std::variant<plist::Dictionary, VRNError>>> answers;
};

// A captured stream.
class Capture {
public:
    Capture() : file_(::open_memstream(&buffer_, &size_)) {}
    ~Capture() {
        std::fclose(file_);
        std::free(buffer_);
    }
    std::FILE* file() { return file_; }
    std::string text() {
        std::fflush(file_);
        return std::string(buffer_, size_);
    }

private:
    char* buffer_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* file_;
};

struct Result {
    int status;
    std::string out;
    std::string err;
};

class CtlTest : public testing::Test {
protected:
    // kbectl with `args` (the command word first), as `user`, with `input` on standard input.
    Result run(std::vector<std::string> args, uid_t user = 0, const std::string& input = {}) {
        Capture out, err;
        std::string inputCopy = input;
        std::FILE* in = inputCopy.empty() ? std::fopen("/dev/null", "r")
                                          : ::fmemopen(inputCopy.data(), inputCopy.size(), "r");
        KBECtl ctl{environment, daemon, "kbectl", user,          out.file(),
                   err.file(),  in,     {},       postDidUpdate, detach};
        args.insert(args.begin(), "kbectl");
        std::vector<char*> argv;
        for (auto& arg : args) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        const int status = KBECtlRun(ctl, static_cast<int>(args.size()), argv.data());
        std::fclose(in);
        return {status, out.text(), err.text()};
    }

    VRNEnvironment environment = testsupport::environment();
    StandInDaemon daemon;
    std::function<void()> postDidUpdate;
    KBECtlDetacher detach = KBECtlDetachFromSession();
};

} // namespace ctltest
