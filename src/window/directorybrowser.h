#pragma once

#include <QTreeView>

class DirectoryModel;

// A folder tree whose path is the folder last opened (double-click or Enter),
// not the one merely highlighted. Paths are the bytes of the names on disk,
// so a folder whose name is not valid in the locale's encoding is opened and
// reported as it is, though shown with replacement characters.
class DirectoryBrowser : public QTreeView
{
    Q_OBJECT

public:
    explicit DirectoryBrowser(QWidget *parent = nullptr);

    [[nodiscard]] QByteArray path() const { return m_path; }
    // Opens an absolute path, each folder on the way listed anew; does
    // nothing when one of them is not there.
    void openPath(const QByteArray &path);

signals:
    void opened(const QByteArray &path);

private:
    DirectoryModel *m_model;
    QByteArray m_path;
};
