#pragma once

#include <string>

// What the application hands to the desktop: web pages and mail go to the user's default
// handlers, texts to the clipboard. Tests record the requests instead.
class KBEDesktop {
public:
    virtual ~KBEDesktop() = default;
    virtual void openURL(const std::string& url) = 0;
    virtual void copyText(const std::string& text) = 0;
};

class KBEQtDesktop final : public KBEDesktop {
public:
    void openURL(const std::string& url) override;
    void copyText(const std::string& text) override;
};

// The maker's site and support address.
namespace kbesite {
inline constexpr const char* kHost = "https://www.keelbrook.example";
inline constexpr const char* kWebPage = "https://www.keelbrook.example/keelbrook/";
inline constexpr const char* kPackagePath = "/keelbrook/Keelbrook.pkg";
inline constexpr const char* kSupportMail = "mailto:support@keelbrook.example?subject=Keelbrook";
} // namespace kbesite
