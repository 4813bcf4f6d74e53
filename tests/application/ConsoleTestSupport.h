#pragma once

// A private installation for the console's tests: the log tool and its legacy name are
// shell scripts under $KEELBROOK_ROOT that record their arguments and print a recorded
// output, or links to the real tool; the user's log files go to a private $XDG_STATE_HOME.

#include "common/VRNEnvironment.h"
#include "common/VRNLog.h"
#include "platform/paths/Paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdlib>
#include <string>

class ConsoleInstallation {
public:
    // `realTool`: the built log tool to link in place of the stand-ins.
    explicit ConsoleInstallation(const char* realTool = nullptr) {
        QVERIFY(root_.isValid());
        setenv("KEELBROOK_ROOT", root_.path().toLocal8Bit().constData(), 1);
        setenv("XDG_STATE_HOME", (root_.path() + "/state").toLocal8Bit().constData(), 1);
        setenv("TZ", "UTC", 1);
        unsetenv("LC_ALL");
        setenv("LC_TIME", "en_US", 1);
        // What the application's main does first, in this private installation.
        VRNEnvironment::install(VRNEnvironment::fromProcess(nullptr));
        VRNLogInit("com.vornhal.keelbrook", "application");
        for (const char* tool : {"/usr/bin/log", "/usr/bin/syslog"}) {
            if (realTool) {
                linkTool(tool, realTool);
            } else {
                installTool(tool);
            }
        }
    }

    // What the next run of either tool prints.
    void setOutput(const QByteArray& output) const { write(root_.path() + "/output", output); }

    // The arguments of the last run, one a line.
    QString lastArguments() const { return read(root_.path() + "/arguments"); }

    static QString applicationLog() {
        return read(QString::fromStdString(VRNLogGetParentPath()) + "/application.log");
    }

    QString path(const QString& relative) const { return root_.path() + "/" + relative; }

    static void write(const QString& path, const QByteArray& bytes) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    static QString read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

private:
    static void linkTool(const char* productPath, const char* realTool) {
        const QString tool = QString::fromStdString(paths::path(productPath));
        QVERIFY(QDir().mkpath(QFileInfo(tool).path()));
        QVERIFY(QFile::link(realTool, tool));
    }

    void installTool(const char* productPath) const {
        const QString tool = QString::fromStdString(paths::path(productPath));
        QVERIFY(QDir().mkpath(QFileInfo(tool).path()));
        write(tool, "#!/bin/sh\n"
                    "root=\"$KEELBROOK_ROOT\"\n"
                    "for a in \"$@\"; do printf '%s\\n' \"$a\"; done > \"$root/arguments\"\n"
                    "cat \"$root/output\"\n");
        QVERIFY(
            QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    QTemporaryDir root_;
};
