#pragma once

#include <QString>
#include <cstdint>

// The error types raised by the program. Every error carries the message the user sees;
// handlers catch `Exception` at their entry and hand it to the application's error reporter.

class Exception {
public:
    explicit Exception(QString message) : m_message(std::move(message)) {}
    virtual ~Exception() = default;
    const QString& Message() const { return m_message; }

private:
    QString m_message;
};

// Status codes raised by the automation layer (script engine creation, "Language", "Eval").
namespace Status {
constexpr uint32_t ExceptionOccurred = 0x80020009;  // DISP_E_EXCEPTION
constexpr uint32_t InvalidClassString = 0x800401F3; // CO_E_CLASSSTRING
constexpr uint32_t ClassNotRegistered = 0x80040154; // REGDB_E_CLASSNOTREG
constexpr uint32_t Aborted = 0x80004004;            // E_ABORT
constexpr uint32_t OutOfMemory = 0x8007000E;        // E_OUTOFMEMORY
constexpr uint32_t InvalidArgument = 0x80070057;    // E_INVALIDARG
constexpr uint32_t UnknownName = 0x80020006;        // DISP_E_UNKNOWNNAME
constexpr uint32_t ServerFault = 0x80010105;        // RPC_E_SERVERFAULT
} // namespace Status

// The system's wording for a status code, without trailing blanks, line breaks and full stops;
// "OLE error XXXXXXXX" for a code without a text.
QString StatusMessage(uint32_t status);

// A failed automation call. The message is built from the status code alone.
class EOleSysError : public Exception {
public:
    explicit EOleSysError(uint32_t status) : Exception(StatusMessage(status)), m_status(status) {}
    // The status's message followed by a note, for a failure that cost more than the call.
    EOleSysError(uint32_t status, const QString& note)
        : Exception(StatusMessage(status) + note), m_status(status) {}
    uint32_t ErrorCode() const { return m_status; }

private:
    uint32_t m_status;
};

// A text that is not a number, or a number outside the fixed-point range.
class EConvertError : public Exception {
    using Exception::Exception;
};

// A value that cannot be turned into text at all.
class EVariantError : public Exception {
    using Exception::Exception;
};

class EFOpenError : public Exception {
    using Exception::Exception;
};

class EFCreateError : public Exception {
    using Exception::Exception;
};

class EWriteError : public Exception {
    using Exception::Exception;
};

class EReadError : public Exception {
    using Exception::Exception;
};

class EIniFileException : public Exception {
    using Exception::Exception;
};

class ERegistryException : public Exception {
    using Exception::Exception;
};

class EOutOfResources : public Exception {
    using Exception::Exception;
};

// The text shown in the error box: the message, with a full stop added when its last
// character sorts after "." (letters, digits and the like).
QString ErrorBoxText(const QString& message);
