#include <kc/kcVariant.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace {

const char* skipBlanks(const char* text) {
    while (*text == ' ' || *text == '\t' || *text == '\n' || *text == '\r')
        ++text;
    return text;
}

// True when only blanks follow.
bool atEnd(const char* text) {
    return *skipBlanks(text) == '\0';
}

bool readReal(const char* text, double* value) {
    const char* start = skipBlanks(text);
    if (!*start)
        return false;
    char* end = nullptr;
    errno = 0;
    const double v = std::strtod(start, &end);
    if (end == start || !atEnd(end) || errno == ERANGE || !std::isfinite(v))
        return false;
    *value = v;
    return true;
}

// Decimal, or 0x hexadecimal when hexAllowed (a leading 0 is decimal, never octal). Masks take
// no sign.
bool readInteger(const char* text, bool hexAllowed, long long low, long long high,
                 long long* value) {
    const char* start = skipBlanks(text);
    if (!*start)
        return false;
    const bool hex = hexAllowed && start[0] == '0' && (start[1] == 'x' || start[1] == 'X');
    if (hexAllowed && *start == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    const long long v = hex ? static_cast<long long>(std::strtoull(start + 2, &end, 16))
                            : std::strtoll(start, &end, 10);
    if (end == start || (hex && end == start + 2) || !atEnd(end) || errno == ERANGE || v < low ||
        v > high)
        return false;
    // strtoull accepts a sign after "0x"; a mask never has one.
    if (hex && (start[2] == '-' || start[2] == '+'))
        return false;
    *value = v;
    return true;
}

bool readBool(const char* text, bool* value) {
    const char* start = skipBlanks(text);
    static const char* const s_true[] = {"true", "yes", "on", "1"};
    static const char* const s_false[] = {"false", "no", "off", "0"};
    std::size_t length = std::strlen(start);
    while (length > 0 && (start[length - 1] == ' ' || start[length - 1] == '\t' ||
                          start[length - 1] == '\n' || start[length - 1] == '\r'))
        --length;
    for (int i = 0; i < 4; ++i) {
        if (std::strlen(s_true[i]) == length && strncasecmp(start, s_true[i], length) == 0) {
            *value = true;
            return true;
        }
        if (std::strlen(s_false[i]) == length && strncasecmp(start, s_false[i], length) == 0) {
            *value = false;
            return true;
        }
    }
    return false;
}

} // namespace

void kcVariant::setBool(bool value) {
    *this = kcVariant();
    m_type = TYPE_BOOL;
    m_integer = value ? 1 : 0;
}

void kcVariant::setFloat(float value) {
    *this = kcVariant();
    m_type = TYPE_FLOAT;
    m_real = value;
}

void kcVariant::setDouble(double value) {
    *this = kcVariant();
    m_type = TYPE_DOUBLE;
    m_real = value;
}

void kcVariant::setInt(int value) {
    *this = kcVariant();
    m_type = TYPE_INT;
    m_integer = value;
}

void kcVariant::setString(const char* value) {
    *this = kcVariant();
    m_type = TYPE_STRING;
    m_text = value ? value : "";
}

void kcVariant::setToken(const char* name, int value) {
    *this = kcVariant();
    m_type = TYPE_TOKEN;
    m_text = name ? name : "";
    m_integer = value;
}

void kcVariant::setBitmask(unsigned int value) {
    *this = kcVariant();
    m_type = TYPE_BITMASK;
    m_integer = value;
}

void kcVariant::setReference(kuBase* object) {
    *this = kcVariant();
    m_type = TYPE_REFERENCE;
    m_object = object;
}

void kcVariant::setZero(Type type) {
    *this = kcVariant();
    m_type = type;
}

bool kcVariant::getBool() const {
    switch (m_type) {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return m_real != 0;
    case TYPE_REFERENCE:
        return m_object != nullptr;
    case TYPE_STRING: {
        bool value = false;
        return readBool(m_text.c_str(), &value) && value;
    }
    default:
        return m_integer != 0;
    }
}

double kcVariant::getDouble() const {
    switch (m_type) {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        return m_real;
    case TYPE_BOOL:
    case TYPE_INT:
    case TYPE_TOKEN:
    case TYPE_BITMASK:
        return static_cast<double>(m_integer);
    default:
        return 0;
    }
}

int kcVariant::getInt() const {
    switch (m_type) {
    case TYPE_FLOAT:
    case TYPE_DOUBLE:
        // Saturate rather than overflow: the value came from a file.
        if (!(m_real > INT_MIN))
            return std::isnan(m_real) ? 0 : INT_MIN;
        return m_real < INT_MAX ? static_cast<int>(m_real) : INT_MAX;
    case TYPE_BOOL:
    case TYPE_INT:
    case TYPE_TOKEN:
    case TYPE_BITMASK:
        return static_cast<int>(m_integer);
    default:
        return 0;
    }
}

unsigned int kcVariant::getBitmask() const {
    switch (m_type) {
    case TYPE_BOOL:
    case TYPE_INT:
    case TYPE_TOKEN:
    case TYPE_BITMASK:
        return static_cast<unsigned int>(m_integer);
    default:
        return 0;
    }
}

bool kcVariant::fromText(Type type, const char* text) {
    setZero(type);
    if (!text)
        return false;
    switch (type) {
    case TYPE_BOOL: {
        bool value = false;
        if (!readBool(text, &value))
            return false;
        setBool(value);
        return true;
    }
    case TYPE_FLOAT: {
        double value = 0;
        if (!readReal(text, &value) || std::fabs(value) > 3.4028234663852886e38)
            return false;
        setFloat(static_cast<float>(value));
        return true;
    }
    case TYPE_DOUBLE: {
        double value = 0;
        if (!readReal(text, &value))
            return false;
        setDouble(value);
        return true;
    }
    case TYPE_INT: {
        long long value = 0;
        if (!readInteger(text, false, INT_MIN, INT_MAX, &value))
            return false;
        setInt(static_cast<int>(value));
        return true;
    }
    case TYPE_BITMASK: {
        long long value = 0;
        if (!readInteger(text, true, 0, UINT_MAX, &value))
            return false;
        setBitmask(static_cast<unsigned int>(value));
        return true;
    }
    case TYPE_STRING:
        setString(text);
        return true;
    default:
        return false;
    }
}

const char* kcVariant::getTypeName(Type type) {
    switch (type) {
    case TYPE_BOOL:
        return "bool";
    case TYPE_FLOAT:
        return "float";
    case TYPE_DOUBLE:
        return "double";
    case TYPE_INT:
        return "int";
    case TYPE_STRING:
        return "string";
    case TYPE_TOKEN:
        return "token";
    case TYPE_BITMASK:
        return "bitmask";
    case TYPE_REFERENCE:
        return "reference";
    default:
        return "none";
    }
}
