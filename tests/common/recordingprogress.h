#pragma once

#include "directorybackup.h"

#include <string>
#include <vector>

namespace pendrel::test {

// Keeps every status text; `unprocessed` counts texts that were not followed
// by processPendingEvents() before the next one (or the end).
class RecordingProgress final : public Progress
{
public:
    void showStatus(const std::string &text) override
    {
        if (m_pending)
            ++unprocessed;
        texts.push_back(text);
        m_pending = true;
    }
    void processPendingEvents() override
    {
        ++processed;
        m_pending = false;
    }
    [[nodiscard]] int unprocessedCount() const { return unprocessed + (m_pending ? 1 : 0); }

    std::vector<std::string> texts;
    int processed = 0;
    int unprocessed = 0;

private:
    bool m_pending = false;
};

} // namespace pendrel::test
