#pragma once

#include "directorybackup.h"

#include <string>
#include <vector>

namespace pendrel::test {

// Keeps every event as "checking <directory>" or "saving <file>";
// `unprocessed` counts events that were not followed by keepResponsive()
// before the next one (or the end).
class RecordingProgress final : public Progress
{
public:
    void checking(const std::string &directory) override { add("checking " + directory); }
    void saving(const std::string &file) override { add("saving " + file); }
    void keepResponsive() override
    {
        ++processed;
        m_pending = false;
    }
    [[nodiscard]] int unprocessedCount() const { return unprocessed + (m_pending ? 1 : 0); }

    std::vector<std::string> texts;
    int processed = 0;
    int unprocessed = 0;

private:
    void add(const std::string &text)
    {
        if (m_pending)
            ++unprocessed;
        texts.push_back(text);
        m_pending = true;
    }

    bool m_pending = false;
};

} // namespace pendrel::test
