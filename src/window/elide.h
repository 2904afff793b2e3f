#pragma once

#include <QString>

// Each line of `text` longer than `limit` characters, cut in the middle to
// `limit` characters around an ellipsis. Laying out a whole name of a
// megabyte takes a box or a label seconds and hundreds of megabytes.
[[nodiscard]] QString elidedLines(const QString &text, qsizetype limit = 200);
