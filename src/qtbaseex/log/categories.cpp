#include "qtbaseex/log/categories.h"

// Every level is on by default: the log file is the only trace this headless
// helper leaves, so nothing is filtered at the source.
Q_LOGGING_CATEGORY(lc_app_launch, "quarrion.app_launch", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_update, "quarrion.update", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_vm_utils, "quarrion.vm_utils", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_utils, "quarrion.utils", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_db, "quarrion.db", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_emulator_config, "quarrion.emulator_config", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_post, "quarrion.post", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_main_controller, "quarrion.main_controller", QtDebugMsg)
Q_LOGGING_CATEGORY(lc_nvapi_perfs, "quarrion.nvapi_perfs", QtDebugMsg)
