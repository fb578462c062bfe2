// Lets std::string and std::string_view be streamed into QDebug as text.
#pragma once

#include <QDebug>
#include <string>
#include <string_view>

QDebug operator<<(QDebug debug, const std::string& text);
QDebug operator<<(QDebug debug, std::string_view text);
