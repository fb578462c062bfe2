// The logging categories of the helper.
#pragma once

#include <QLoggingCategory>

const QLoggingCategory& lc_app_launch();
const QLoggingCategory& lc_update();
const QLoggingCategory& lc_vm_utils();
const QLoggingCategory& lc_utils();
const QLoggingCategory& lc_db();
const QLoggingCategory& lc_emulator_config();
const QLoggingCategory& lc_post();
const QLoggingCategory& lc_main_controller();
const QLoggingCategory& lc_nvapi_perfs();
