#pragma once

// What the window and quantoria-engine say to each other over their socket: frames of a 32-bit
// length (host order: both ends are the same build on the same machine) and that many bytes.
//
//   to the engine:    'E' text                 evaluate
//   from the engine:  'R'                      ready (sent once, when the engine is created)
//                     'V' variant              the value of an evaluation
//                     'F' status restart       a failed evaluation; restart: the engine quits
//                                              after this reply and must be replaced
//
// The fields are written with QDataStream (Qt 6.4 format).

#include "ScriptControl.h"

#include <QByteArray>
#include <QDataStream>
#include <QIODevice>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <sys/socket.h>
#include <unistd.h>

namespace EngineProtocol {

// The descriptor the engine process finds its socket on.
constexpr int kEngineFd = 3;
// Longer frames are a broken peer.
constexpr uint32_t kMaxFrame = 256u << 20;
// quantoria-engine's exit status after an allocation failed.
constexpr int kOutOfMemoryExit = 3;

inline QByteArray Pack(char tag, const std::function<void(QDataStream&)>& fields = {}) {
    QByteArray payload;
    QDataStream out(&payload, QIODevice::WriteOnly);
    out.setVersion(QDataStream::Qt_6_4);
    out << qint8(tag);
    if (fields)
        fields(out);
    return payload;
}

// Writes a whole frame; false when the peer is gone.
inline bool WriteFrame(int fd, const QByteArray& payload) {
    const uint32_t length = uint32_t(payload.size());
    QByteArray frame(reinterpret_cast<const char*>(&length), sizeof length);
    frame += payload;
    const char* data = frame.constData();
    size_t left = size_t(frame.size());
    while (left > 0) {
        const ssize_t n = ::send(fd, data, left, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= size_t(n);
    }
    return true;
}

// Takes one whole frame off the front of buffer, when it holds one. Sets broken on a frame
// longer than kMaxFrame.
inline bool TakeFrame(QByteArray& buffer, QByteArray& payload, bool& broken) {
    if (buffer.size() < qsizetype(sizeof(uint32_t)))
        return false;
    uint32_t length = 0;
    std::memcpy(&length, buffer.constData(), sizeof length);
    if (length > kMaxFrame) {
        broken = true;
        return false;
    }
    if (buffer.size() < qsizetype(sizeof length + length))
        return false;
    payload = buffer.mid(sizeof length, length);
    buffer.remove(0, qsizetype(sizeof length + length));
    return true;
}

inline void WriteVariant(QDataStream& out, const Variant& v) {
    out << qint8(v.kind) << qint32(v.integer) << v.number << v.boolean << v.text << v.convertible;
}

inline Variant ReadVariant(QDataStream& in) {
    Variant v;
    qint8 kind = 0;
    qint32 integer = 0;
    in >> kind >> integer >> v.number >> v.boolean >> v.text >> v.convertible;
    if (kind < qint8(Variant::Kind::Empty) || kind > qint8(Variant::Kind::Object))
        in.setStatus(QDataStream::ReadCorruptData);
    v.kind = Variant::Kind(kind);
    v.integer = integer;
    return v;
}

} // namespace EngineProtocol
