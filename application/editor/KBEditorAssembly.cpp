#include "application/editor/KBEditorAssembly.h"

#include "application/editors/KBECalendarIntervalViewController.h"
#include "application/editors/KBEIntervalViewController.h"
#include "application/editors/KBEWhenInactiveViewController.h"

KBEScheduleEditorFactory KBEProgramScheduleEditors(const VRNSystemVersionManager& versions) {
    return [&versions](int index) -> std::unique_ptr<KBEScheduleEditor> {
        switch (index) {
        case 0:
            return std::make_unique<KBEWhenInactiveViewController>();
        case 1:
            return std::make_unique<KBEIntervalViewController>();
        default:
            return std::make_unique<KBECalendarIntervalViewController>(versions);
        }
    };
}

KBEditorAssembly::KBEditorAssembly(Parts parts)
    : _updates({parts.messager, parts.alerts, parts.desktop, parts.agent,
                *parts.environment.notifications, parts.mainQueue}),
      _defaults("com.vornhal.keelbrook.application", prefs::Scope::User),
      _editor({
          .messager = parts.messager,
          .alerts = parts.alerts,
          .desktop = parts.desktop,
          .updates = _updates,
          .versions = *parts.environment.versions,
          .applicationDefaults = _defaults,
          .installationRoot = parts.environment.installationRoot,
          .supportsBattery = parts.supportsBattery,
          .schedulerSocketDisabled = std::move(parts.schedulerSocketDisabled),
          .editors = std::move(parts.editors),
          .windows = std::move(parts.windows),
          .userLogFolder = std::move(parts.userLogFolder),
          .mainQueue = std::move(parts.mainQueue),
      }) {}
