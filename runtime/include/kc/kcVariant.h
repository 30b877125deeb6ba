#ifndef KC_VARIANT_H
#define KC_VARIANT_H

#include <ku/kuBase.h>

#include <cstdint>
#include <string>

// One argument value of a configuration property: a kind and the value read for it.
// Getters convert between the numeric kinds; a getter of a kind the value cannot give returns
// that kind's zero value ("" for strings, null for objects).
// Threads: a plain value; no shared state.
class KX_API kcVariant {
public:
    // The codes are part of the configuration interface: modules pass them as numbers.
    enum Type {
        TYPE_NONE = 0,
        TYPE_BOOL = 2,
        TYPE_FLOAT = 3,
        TYPE_DOUBLE = 4,
        TYPE_INT = 5,
        TYPE_STRING = 6,
        // One name of a fixed list, standing for an int.
        TYPE_TOKEN = 8,
        // An unsigned 32-bit mask.
        TYPE_BITMASK = 9,
        // Another configured object, by name.
        TYPE_REFERENCE = 10
    };

    kcVariant() = default;

    Type getType() const { return m_type; }
    void setBool(bool value);
    void setFloat(float value);
    void setDouble(double value);
    void setInt(int value);
    void setString(const char* value);
    void setToken(const char* name, int value);
    void setBitmask(unsigned int value);
    void setReference(kuBase* object);
    // The zero value of a kind (what an unreadable value becomes).
    void setZero(Type type);

    bool getBool() const;
    float getFloat() const { return static_cast<float>(getDouble()); }
    double getDouble() const;
    int getInt() const;
    unsigned int getBitmask() const;
    // Strings, and a token's name.
    const char* getString() const { return m_text.c_str(); }
    kuBase* getBase() const { return m_object; }

    // Reads text as a bool, float, double, int, string or numeric bitmask. Returns false for
    // text that is not a value of the kind (or a kind that needs more than text, token and
    // reference), leaving the kind's zero value. Bools: true/false, yes/no, on/off, 1/0 in any
    // case. Numbers: the whole text, surrounding blanks allowed, finite and in range.
    // Bitmasks: decimal or 0x hexadecimal.
    bool fromText(Type type, const char* text);

    static const char* getTypeName(Type type);

private:
    Type m_type = TYPE_NONE;
    std::int64_t m_integer = 0;
    double m_real = 0;
    std::string m_text;
    kuBase* m_object = nullptr;
};

#endif
