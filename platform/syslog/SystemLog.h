#pragma once

#include <mutex>
#include <string_view>

// The operating system's log: the systemd journal and the older syslog(3). Every call goes
// through one replaceable back end, so that tests can capture what would be sent and
// benchmarks can leave the system log out.
namespace systemlog {

// syslog(3) priorities (LOG_ERR, LOG_WARNING, ...) are used for both destinations.
class Backend {
public:
    virtual ~Backend() = default;

    // A journal entry with MESSAGE and PRIORITY, plus KEELBROOK_SUBSYSTEM and
    // KEELBROOK_CATEGORY when `subsystem` is not empty.
    virtual void journal(int priority, std::string_view message, std::string_view subsystem,
                         std::string_view category) = 0;
    // Names the program's syslog(3) messages from now on: `ident` leads every line and
    // `facility` (LOG_USER, LOG_DAEMON) files them. Until it is called, messages go out
    // under the program's name with LOG_USER. Back ends that do not send to syslog(3)
    // may ignore it.
    virtual void openSyslog(std::string_view ident, int facility) {
        (void)ident;
        (void)facility;
    }
    // A syslog(3) message of the program.
    virtual void syslog(int priority, std::string_view message) = 0;
};

// The real system log. Neither call blocks or fails when no journal or syslog daemon runs:
// the message is then lost.
class SystemBackend final : public Backend {
public:
    void journal(int priority, std::string_view message, std::string_view subsystem,
                 std::string_view category) override;
    void openSyslog(std::string_view ident, int facility) override;
    void syslog(int priority, std::string_view message) override;

private:
    std::mutex mutex_;
    bool opened_ = false;
};

// The back end in use: the real one unless replaced.
Backend& backend();

// Replaces the back end for the whole process; null restores the real one. The replacement
// must outlive its use.
void setBackend(Backend* replacement);

} // namespace systemlog
