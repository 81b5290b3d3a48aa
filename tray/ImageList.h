#pragma once

#include <QIcon>
#include <QList>
#include <QObject>

// An ordered list of images: the icons of a TTrayIcon and its animation.
class TImageList : public QObject {
    Q_OBJECT
public:
    explicit TImageList(QObject* parent = nullptr) : QObject(parent) {}

    int Count() const { return int(m_images.size()); }
    void Add(const QIcon& icon) { m_images.append(icon); }
    void Clear() { m_images.clear(); }
    // Image `index`; an empty icon for an index outside 0 .. Count() - 1.
    QIcon GetIcon(int index) const {
        return index >= 0 && index < Count() ? m_images[index] : QIcon();
    }

private:
    QList<QIcon> m_images;
};
