#pragma once

#include <QString>

namespace ORTVCsv {

// The text as one CSV field: quoted, with its quotes doubled, when it holds a quote, a comma or
// a line break; as it is otherwise.
QString field(const QString &text);

} // namespace ORTVCsv
