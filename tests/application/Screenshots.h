#pragma once

#include <QDir>
#include <QString>
#include <QWidget>
#include <cstdlib>

namespace apptest {

// Saves a picture of `window` as <name>.png into the folder KEELBROOK_SCREENSHOTS names (the
// screenshot runs under a virtual X server set it); does nothing without it.
inline void saveScreenshot(QWidget& window, const QString& name) {
    const char* folder = std::getenv("KEELBROOK_SCREENSHOTS");
    if (folder == nullptr) {
        return;
    }
    QDir().mkpath(folder);
    window.show();
    window.raise();
    window.grab().save(QDir(folder).filePath(name + ".png"));
}

} // namespace apptest
