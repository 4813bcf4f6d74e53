// The updater on the virtual clock with a scripted server: feed choice, check interval, URL
// host, rate limit, phasing, the error-to-result table, waiting for the network, markers,
// download into place, validation, the owner's refusal and installation.

#include "UpdaterTestSupport.h"
#include "common/VRNUpdaterErrors.h"

#include <gmock/gmock.h>

namespace updatertest {
namespace {

using testing::Contains;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;
using testing::Not;

long codeOf(const std::optional<VRNError>& error) {
    return error ? error->code() : -1;
}

// Client-requested checks: which item a feed yields.

TEST_F(UpdaterTest, TheFirstItemForTheModeAndSystemIsChosen) {
    makeUpdater();
    serveFeed({item(300, {{"Kind", plist::Value("beta")}}), item(200)});
    auto [chosen, error] = check();
    ASSERT_TRUE(chosen) << (error ? error->description() : "");
    EXPECT_EQ(chosen->at("Version").asInteger(), 200) << "a standard updater skips beta items";
    EXPECT_THAT(updaterLog(),
                Contains("New version available: 2.0 (200) (latest: 200, current: 100)."));

    updater->setMode(VRNUpdater::updaterModeFromString("beta"));
    EXPECT_EQ(check().first->at("Version").asInteger(), 300);

    // Any other kind is the standard channel.
    serveFeed({item(300, {{"Kind", plist::Value("stable")}})});
    EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorAlreadyLatest);
    updater->setMode(0);
    EXPECT_EQ(check().first->at("Version").asInteger(), 300);
}

TEST_F(UpdaterTest, ItemsForANewerSystemAreSkipped) {
    makeUpdater(); // the feature level is 15.0.0
    serveFeed({item(400, {{"MinimumOSVersion", plist::Value("15.0.1")}}),
               item(300, {{"MinimumOSVersion", plist::Value("15")}})});
    EXPECT_EQ(check().first->at("Version").asInteger(), 300);

    serveFeed({item(400, {{"MinimumOSVersion", plist::Value("16.0.0")}})});
    auto [none, error] = check();
    EXPECT_FALSE(none);
    EXPECT_EQ(codeOf(error), VRNUpdaterErrorAlreadyLatest) << "no item fits";
}

TEST_F(UpdaterTest, OnlyNewerVersionsAreOffered) {
    makeUpdater();
    for (auto version : {plist::Value(100), plist::Value(99), plist::Value("two hundred")}) {
        serveFeed({plist::Value(
            plist::Dictionary{{"Version", version}, {"URL", plist::Value(kPackageURL)}})});
        EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorAlreadyLatest)
            << plist::description(version);
    }
}

TEST_F(UpdaterTest, APackageOnAnotherHostIsInvalid) {
    makeUpdater();
    for (const char* url : {"https://elsewhere.test/Keelbrook.pkg", "not a url"}) {
        serveFeed({item(200, {{"URL", plist::Value(url)}})});
        auto [none, error] = check();
        ASSERT_EQ(codeOf(error), VRNUpdaterErrorInvalidInformation) << url;
        EXPECT_THAT(VRNError::localizedDescriptionForError(*error), HasSubstr(url));
    }
    updater->setDownloadHost(std::nullopt);
    serveFeed({item(200, {{"URL", plist::Value("https://elsewhere.test/Keelbrook.pkg")}})});
    EXPECT_TRUE(check().first) << "without a download host any host is taken";
}

TEST_F(UpdaterTest, FetchAndParseFailures) {
    makeUpdater();
    server->answer(kFeed, 500);
    auto [none, error] = check();
    ASSERT_EQ(codeOf(error), VRNUpdaterErrorFetchFailed);
    EXPECT_EQ(statusCode(*error), 500);

    server->answer(kFeed, 200, "<plist><array/></plist>");
    EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorReadFailed) << "the root is not a dictionary";
    server->answer(kFeed, 200, "<plist><dict><key>Items</key>");
    EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorReadFailed);

    server->refuseTrust(kFeed);
    error = check().second;
    ASSERT_EQ(codeOf(error), VRNUpdaterErrorFetchFailed);
    ASSERT_NE(error->underlyingError(), nullptr);
    EXPECT_EQ(error->underlyingError()->code(), VRNUpdaterErrorUntrustedServer);
    EXPECT_THAT(updaterLog(), Contains("Trust cancelled."));

    server->answers.erase(kFeed);
    error = check().second;
    ASSERT_EQ(codeOf(error), VRNUpdaterErrorFetchFailed);
    EXPECT_EQ(error->underlyingError()->domain(), "com.vornhal.http")
        << "the trust error was consumed by the failure it caused";
}

TEST_F(UpdaterTest, SixClientChecksPerHour) {
    makeUpdater();
    serveFeed({item(200)});
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(check().first) << i;
        advance(5min);
    }
    const auto asked = server->requested.size();
    EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorTooManyRequests);
    EXPECT_EQ(server->requested.size(), asked) << "nothing is fetched";

    advance(30min + 1s); // the first check is now more than an hour old
    EXPECT_TRUE(check().first);
    EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorTooManyRequests);

    // Checks "in the future" after the clock was set back do not lock clients out.
    setNow(VRNDateNow() - 7200);
    EXPECT_TRUE(check().first);
}

// Automatic attempts.

TEST_F(UpdaterTest, TheFeedsCheckIntervalIsTakenWhenInRange) {
    makeUpdater();
    serveFeed({item(100, {{"CheckInterval", plist::Value(7)}})});
    startAndRunFirstAttempt();
    EXPECT_THAT(updaterLog(), Contains("Changed update check interval to 7 days."));
    EXPECT_EQ(defaults->value("UInterval")->asInteger(), 7);
    EXPECT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures.back()), VRNUpdaterErrorAlreadyLatest);

    for (int ignored : {0, 30}) {
        serveFeed({item(100, {{"CheckInterval", plist::Value(ignored)}})});
        EXPECT_EQ(codeOf(check().second), VRNUpdaterErrorAlreadyLatest);
        EXPECT_EQ(defaults->value("UInterval")->asInteger(), 7) << ignored;
    }

    // The stored interval is the one a new updater starts with.
    updater->stop();
    clock().drain();
    makeUpdater();
    serveFeed({item(100)});
    startAndRunFirstAttempt();
    logtest::recorder().take();
    const auto asked = server->requested.size();
    advance(24h * 6);
    EXPECT_EQ(server->requested.size(), asked) << "not yet due after six days";
    advance(24h * 2);
    EXPECT_EQ(server->requested.size(), asked + 1);
}

TEST_F(UpdaterTest, ErrorsBecomeActivityResults) {
    makeUpdater();
    server->answer(kFeed, 403);
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(statusCode(owner->failures[0]), 403);
    auto info = updater->activityInformation();
    EXPECT_TRUE(info.count("LastRun")) << "403 counts as finished";
    EXPECT_FALSE(info.count("LastTry"));
    EXPECT_EQ(held, 0) << "termination is enabled again";
    EXPECT_FALSE(std::filesystem::exists(marker(".updating")));

    // Other fetch failures with the server reachable are failures, retried after a day.
    server->answer(kFeed, 500);
    for (int hours = 0; hours < 24 * 7 && owner->failures.size() < 2; ++hours) {
        advance(1h);
    }
    ASSERT_EQ(owner->failures.size(), 2u);
    EXPECT_TRUE(updater->activityInformation().count("LastTry"));
    const auto asked = server->requested.size();
    advance(23h);
    EXPECT_EQ(server->requested.size(), asked);
    advance(3h);
    EXPECT_EQ(server->requested.size(), asked + 1) << "the failure delay is one day";
}

TEST_F(UpdaterTest, OfflineAttemptsWaitForARoute) {
    makeUpdater();
    online = false; // the feed is not answered either
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorFetchFailed);
    EXPECT_THAT(updaterLog(), Contains("Can't reach update server, waiting for network..."));
    auto info = updater->activityInformation();
    EXPECT_FALSE(info.count("LastTry")) << "deferred, not failed";
    const auto asked = server->requested.size();
    advance(2h);
    EXPECT_EQ(server->requested.size(), asked) << "held back by the assertion";

    ASSERT_NE(routes, nullptr);
    routes->send(); // a route event while still offline changes nothing
    clock().drain();
    advance(1min);
    EXPECT_EQ(server->requested.size(), asked);

    online = true;
    serveFeed({item(100)});
    routes->send();
    clock().drain();
    EXPECT_THAT(updaterLog(), Contains("Network came back (2)."));
    advance(1min);
    EXPECT_EQ(server->requested.size(), asked + 1) << "the activity runs again once released";
}

TEST_F(UpdaterTest, PhaseZeroNeverAndPhaseHundredAlmostAlwaysProceed) {
    makeUpdater();
    server->answer(kPackageURL, goodPackage());
    serveFeed({item(200, {{"Phase", plist::Value(0)}})});
    phaseDraw = 0;
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorPhasedDeferral);
    EXPECT_THAT(server->requested, Not(Contains(kPackageURL)));
    EXPECT_TRUE(updater->activityInformation().count("LastRun")) << "finished";

    serveFeed({item(200, {{"Phase", plist::Value(100)}})});
    phaseDraw = 0xFFFFFFFFu;
    advance(24h * 6); // the next target lies within the sixth day
    ASSERT_EQ(owner->failures.size(), 2u);
    EXPECT_EQ(codeOf(owner->failures[1]), VRNUpdaterErrorPhasedDeferral)
        << "the single maximum draw falls outside";
    EXPECT_THAT(updaterLog(), Contains("Phased update 100.000000 / 100.000000."));

    phaseDraw = 0xFFFFFFFEu;
    advance(24h * 6); // the next target lies within the sixth day
    EXPECT_THAT(server->requested, Contains(kPackageURL));
    EXPECT_EQ(owner->installed.size(), 1u);
}

TEST_F(UpdaterTest, ASuccessfulAttemptReplacesTheFileAndHandsTheValidatedPackageOver) {
    makeUpdater();
    write(downloadPath(), "an older download");
    const auto package = goodPackage();
    server->answer(kPackageURL, package);
    serveFeed({item(200)});
    startAndRunFirstAttempt();
    ASSERT_THAT(owner->prepared, ElementsAre(true)) << "prepared in background";
    ASSERT_EQ(owner->installed.size(), 1u);
    EXPECT_EQ(owner->installed[0], text(package));
    EXPECT_EQ(read(downloadPath()), text(package)) << "the existing file was replaced";
    EXPECT_EQ(owner->installQueue->label(), "com.vornhal.update-manager");
    EXPECT_THAT(owner->failures, IsEmpty());
    EXPECT_EQ(held, 1) << "the daemon stays held until the installation replaces it";
    EXPECT_EQ(read(marker(".updating")), "1") << "left for the installation";
    const auto log = updaterLog();
    for (const char* line :
         {"Checking for updates now.", "Will fetch update info.", "Did fetch update info.",
          "Will download update package.", "Did download update package.",
          "Did move update package.", "Will validate update package.",
          "Did validate update package.", "Installing package now."}) {
        EXPECT_THAT(log, Contains(line));
    }
    EXPECT_THAT(log, Contains("Will move update package to " + downloadPath()));
    for (auto& entry : std::filesystem::directory_iterator(support)) {
        EXPECT_THAT(entry.path().filename().string(), Not(HasSubstr(".download")))
            << "no temporary is left";
    }
}

TEST_F(UpdaterTest, AnotherTeamsPackageIsRefusedAndDeleted) {
    makeUpdater();
    const auto other = pki.leafWith(pki.leafMarker(), {"OTHERTEAM1"}, pki.now - testpki::kDay,
                                    pki.now + 300 * testpki::kDay);
    server->answer(kPackageURL, testpki::signedPackage(pki.signer(&other)));
    serveFeed({item(200)});
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorValidationFailed);
    EXPECT_FALSE(std::filesystem::exists(downloadPath()));
    EXPECT_TRUE(updater->activityInformation().count("LastTry")) << "failed";
    EXPECT_THAT(owner->prepared, IsEmpty());
    EXPECT_EQ(held, 0);
}

TEST_F(UpdaterTest, ADownloadAnsweredWith404) {
    makeUpdater();
    server->answer(kPackageURL, 404);
    serveFeed({item(200)});
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorDownloadFailed);
    EXPECT_EQ(statusCode(owner->failures[0]), 404);
    EXPECT_FALSE(std::filesystem::exists(downloadPath()));
    EXPECT_TRUE(updater->activityInformation().count("LastTry"));
}

TEST_F(UpdaterTest, TheOwnersRefusalKeepsThePackageForTheNextRun) {
    makeUpdater();
    updater->addAssertion("connection");
    const auto package = goodPackage();
    server->answer(kPackageURL, package);
    serveFeed({item(200)});
    owner->allow = false;
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorNotNow);
    EXPECT_EQ(read(downloadPath()), text(package)) << "kept";
    EXPECT_FALSE(updater->activityInformation().count("LastTry")) << "deferred";
    EXPECT_THAT(logged(VRNProcessInfo::productIdentifier() + ".updater"),
                Contains("Added assertion: connection."))
        << "the owner's assertion now holds the activity";

    const auto asked = server->requested.size();
    owner->allow = true;
    updater->removeAssertion("connection");
    advance(1min);
    EXPECT_EQ(server->requested.size(), asked) << "installed without downloading again";
    EXPECT_THAT(updaterLog(), Contains("Update already downloaded, will install now."));
    ASSERT_EQ(owner->installed.size(), 1u);
    EXPECT_EQ(owner->installed[0], text(package));
}

TEST_F(UpdaterTest, AStoppedUpdaterKeepsNoPackageTheOwnerRefused) {
    makeUpdater();
    server->answer(kPackageURL, goodPackage());
    serveFeed({item(200)});
    server->holdAnswers = true;
    owner->allow = false;
    startAndRunFirstAttempt();
    updater->stop(); // updates are switched off while the attempt runs
    clock().drain();
    server->release(); // the feed
    clock().drain();
    server->release(); // the package
    clock().drain();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorNotNow);
    EXPECT_FALSE(std::filesystem::exists(downloadPath()));
    EXPECT_EQ(held, 0);
}

TEST_F(UpdaterTest, ASymbolicLinkAtTheDownloadLocationIsRefused) {
    makeUpdater();
    updater->addAssertion("connection");
    server->answer(kPackageURL, goodPackage());
    serveFeed({item(200)});
    owner->allow = false;
    startAndRunFirstAttempt();
    ASSERT_TRUE(std::filesystem::exists(downloadPath()));

    const auto target = folder.path() / "elsewhere.pkg";
    std::filesystem::rename(downloadPath(), target);
    std::filesystem::create_symlink(target, downloadPath());
    owner->allow = true;
    updater->removeAssertion("connection");
    advance(1min);
    ASSERT_EQ(owner->failures.size(), 2u);
    EXPECT_EQ(codeOf(owner->failures[1]), VRNUpdaterErrorValidationFailed);
    EXPECT_EQ(owner->failures[1].underlyingError(), nullptr);
    EXPECT_THAT(owner->installed, IsEmpty());
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(downloadPath())));
    EXPECT_TRUE(std::filesystem::exists(target)) << "the link's target is not touched";
}

TEST_F(UpdaterTest, AFailedInstallationDeletesThePackageAndUnprepares) {
    makeUpdater();
    server->answer(kPackageURL, goodPackage());
    serveFeed({item(200)});
    owner->installError = VRNError("test.owner", 5, {{VRNLocalizedDescriptionKey, "dpkg failed."}});
    startAndRunFirstAttempt();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorInstallFailed);
    EXPECT_EQ(owner->failures[0].underlyingError()->domain(), "test.owner");
    EXPECT_EQ(owner->unprepared, 1);
    EXPECT_FALSE(std::filesystem::exists(downloadPath()));
    EXPECT_FALSE(std::filesystem::exists(marker(".updating")));
}

// Markers at start.

TEST_F(UpdaterTest, AnInterruptedAttemptIsNotedOnceThenReportedAsFailed) {
    write(marker(".updating"), "1");
    makeUpdater();
    owner->holdInstallation = true; // the installation "replaces the daemon"
    server->answer(kPackageURL, goodPackage());
    serveFeed({item(200)});
    startAndRunFirstAttempt();
    EXPECT_THAT(owner->failures, IsEmpty()) << "an interruption seen once is not reported";
    ASSERT_EQ(owner->installed.size(), 1u);
    EXPECT_EQ(read(marker(".updating")), "2") << "the next attempt is marked as the second";

    // The daemon is replaced but the marker stays: the new process reports the failure.
    updater.reset();
    clock().drain();
    owner = std::make_shared<Owner>();
    makeUpdater();
    updater->start();
    clock().drain();
    ASSERT_EQ(owner->failures.size(), 1u);
    EXPECT_EQ(codeOf(owner->failures[0]), VRNUpdaterErrorInstallFailed);
    EXPECT_TRUE(updater->activityInformation().count("LastTry"));
    EXPECT_FALSE(std::filesystem::exists(marker(".updating")));
}

TEST_F(UpdaterTest, ASuccessfulInstallationCountsAsACheck) {
    write(marker(".updated"), "");
    write(marker(".download.Ab12Cd"), "half a package of a process that ended");
    defaults->setValue("UStartDate", plist::Value(plist::Date{0}));
    makeUpdater();
    updater->start();
    clock().drain();
    EXPECT_FALSE(std::filesystem::exists(marker(".updated")));
    EXPECT_FALSE(std::filesystem::exists(marker(".download.Ab12Cd")));
    EXPECT_FALSE(defaults->value("UStartDate"));
    auto info = updater->activityInformation();
    ASSERT_TRUE(info.count("LastRun"));
    EXPECT_EQ(info.at("LastRun").asDate()->secondsSinceReferenceDate, VRNDateNow());
    const auto asked = server->requested.size();
    advance(24h);
    EXPECT_EQ(server->requested.size(), asked) << "the next check is days away";
}

TEST_F(UpdaterTest, OlderStateIsMovedIntoTheActivity) {
    defaults->setValue("ULastCheck", plist::Value(plist::Date{800000000}));
    defaults->setValue("ULastTry", plist::Value(plist::Date{800000100}));
    defaults->setValue("UStartDate", plist::Value(plist::Date{800000200}));
    makeUpdater();
    EXPECT_FALSE(defaults->value("ULastCheck"));
    EXPECT_FALSE(defaults->value("ULastTry"));
    auto info = updater->activityInformation();
    EXPECT_EQ(info.at("LastTry").asDate()->secondsSinceReferenceDate, 800000100);
    updater->start();
    clock().drain();
    EXPECT_FALSE(defaults->value("UStartDate"));
    EXPECT_EQ(updater->activityInformation().at("LastRun").asDate()->secondsSinceReferenceDate,
              800000200);
}

// Client-requested installations.

TEST_F(UpdaterTest, AClientInstallationUsesTheLastCheckedItem) {
    makeUpdater();
    std::vector<std::optional<VRNError>> answers;
    auto install = [&] {
        updater->performUpdateWithQueue(environment.logicQueue,
                                        [&](std::optional<VRNError> e) { answers.push_back(e); });
        clock().drain();
    };
    install();
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_FALSE(answers[0]) << "nothing checked yet: nothing to do";
    EXPECT_THAT(server->requested, IsEmpty());

    serveFeed({item(200, {{"Phase", plist::Value(0)}})});
    server->answer(kPackageURL, 404);
    ASSERT_TRUE(check().first);
    install();
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(codeOf(answers[1]), VRNUpdaterErrorDownloadFailed) << "phasing does not apply";
    EXPECT_THAT(owner->prepared, ElementsAre(false));
    EXPECT_EQ(owner->unprepared, 1);
    EXPECT_THAT(owner->failures, IsEmpty()) << "the client hears of it, not the owner";
    EXPECT_EQ(held, 0);

    server->answer(kPackageURL, goodPackage());
    owner->holdInstallation = true;
    install();
    EXPECT_EQ(owner->installed.size(), 1u);
    EXPECT_EQ(answers.size(), 2u) << "the answer waits for the installation";
    install();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_FALSE(answers[2]) << "a second request while one runs answers at once";
    EXPECT_EQ(owner->installed.size(), 1u);
    owner->installQueue->async([handler = owner->pendingInstall] { handler(std::nullopt); });
    clock().drain();
    ASSERT_EQ(answers.size(), 4u);
    EXPECT_FALSE(answers[3]);
    EXPECT_EQ(held, 1) << "a successful installation keeps the daemon held";
}

TEST_F(UpdaterTest, AClientInstallationTheOwnerRefuses) {
    makeUpdater();
    serveFeed({item(200)});
    ASSERT_TRUE(check().first);
    owner->allow = false;
    std::optional<VRNError> answer;
    updater->performUpdateWithQueue(environment.logicQueue,
                                    [&](std::optional<VRNError> e) { answer = e; });
    clock().drain();
    ASSERT_EQ(codeOf(answer), VRNUpdaterErrorNotNow);
    EXPECT_EQ(answer->underlyingError()->domain(), "test.owner");
    EXPECT_THAT(server->requested, Not(Contains(kPackageURL)));
    EXPECT_EQ(owner->unprepared, 0);
    EXPECT_EQ(held, 0);
}

TEST_F(UpdaterTest, Conversions) {
    EXPECT_EQ(VRNUpdater::updaterModeFromString("beta"), 1);
    EXPECT_EQ(VRNUpdater::updaterModeFromString("test"), 2);
    EXPECT_EQ(VRNUpdater::updaterModeFromString("Beta"), 0);
    EXPECT_EQ(VRNUpdater::systemVersionFromString("10.13.6"),
              (VRNOperatingSystemVersion{10, 13, 6}));
    EXPECT_EQ(VRNUpdater::systemVersionFromString("11"), (VRNOperatingSystemVersion{11, 0, 0}));
    EXPECT_EQ(VRNUpdater::systemVersionFromString("x.2"), (VRNOperatingSystemVersion{0, 2, 0}));
    EXPECT_EQ(VRNUpdaterServerHost(*defaults), "updates.keelbrook.example");
    defaults->setValue("UServer", plist::Value("127.0.0.1"));
    EXPECT_EQ(VRNUpdaterServerHost(*defaults), "127.0.0.1");
}

} // namespace
} // namespace updatertest
