#pragma once

#include <QByteArray>
#include <QString>

// File names as the system hands them over (command line, directory entries) are bytes,
// and they need not be valid UTF-8. QFile::decodeName replaces every byte that is not
// part of valid UTF-8, so the name no longer opens the file. These two functions keep a
// name byte-exact instead: decodeFileName decodes valid UTF-8 as usual and turns each
// other byte into the code unit U+DC00 + byte (a lone low surrogate, which no valid UTF-8
// produces); encodeFileName turns such a text back into the very same bytes. For a name
// that is valid UTF-8 both give what QFile::decodeName and QFile::encodeName give.
namespace orvane {

QString decodeFileName(const QByteArray& bytes);
QByteArray encodeFileName(const QString& name);

}  // namespace orvane
