// Lets a std::filesystem::path be streamed into QDebug as text: the path as
// the file system holds it, without quotes or escapes, like a string.
#pragma once

#include <QDebug>
#include <filesystem>

QDebug operator<<(QDebug debug, const std::filesystem::path& path);
