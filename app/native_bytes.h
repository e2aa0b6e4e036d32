// Command-line arguments and file names as the bytes the system gives,
// whether they are valid UTF-8 or not. Qt's own decoding
// (QCoreApplication::arguments(), QFile::decodeName) turns bytes that are no
// UTF-8 into U+FFFD, after which such a file cannot be opened any more.
#pragma once

#include <QString>
#include <QStringList>

#include <string>

namespace lumaset {

// The program's arguments with one Latin-1 character a byte: parsed as text
// where they are options, and turned back into the same bytes with
// toLatin1() where they are names.
QStringList ArgumentsOf(int argc, char** argv);

// A file name's bytes as a path for the window: valid UTF-8 is decoded, and
// each byte that is not becomes one of the lone surrogates U+DC80-U+DCFF, so
// NativeFileName() gives the same bytes back.
QString FileNameFromNative(const std::string& bytes);
// The bytes of a path made by FileNameFromNative (or any other text: UTF-8).
std::string NativeFileName(const QString& path);

}  // namespace lumaset
