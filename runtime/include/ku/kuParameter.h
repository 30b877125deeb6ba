#ifndef KU_PARAMETER_H
#define KU_PARAMETER_H

#include <ku/kuLock.h>
#include <ku/kuMemBase.h>
#include <ku/kuString.h>

// A named value that any part of the runtime or a module can look up by name: one publisher
// (the environment's fog parameters, for instance) sets it, readers find it by name.
// Every value is kept as four components; scalar types use the first. Scalar getters convert
// from any type (a four-float value gives its first component).
// Threads: find/create/clear and the value accessors may be called from any thread; the
// registry and each value have their own lock. clear() runs at kernel shutdown: a parameter
// held by kuRef outlives it but can no longer be found.
class KX_API kuParameter : public kuMemBase {
public:
    enum Type { TYPE_BOOL = 2, TYPE_FLOAT = 3, TYPE_DOUBLE = 4, TYPE_INT = 5, TYPE_FLOAT4 = 6 };

    // The parameter of that name, or null.
    static kuParameter* find(const char* name);
    // Makes a parameter (value zero), or returns the existing one when it has the same type.
    // Null for a null or empty name, an unknown type, or a name taken by another type.
    static kuParameter* create(const char* name, int type);
    static int getNum();
    // Forgets every parameter.
    static void clear();

    const char* getName() const { return m_name.c_str(); }
    int getType() const { return m_type; }

    bool getBool() const;
    int getInt() const;
    float getFloat() const;
    double getDouble() const;
    // All four components (a scalar gives (value, 0, 0, 0)). 1, or -32767 for null out.
    int getFloats(float out[4]) const;

    // Scalar setters store the value converted to the parameter's type (a bool as 0 or 1, an
    // int truncated). 1, or -32767 on a four-float parameter.
    int setBool(bool value);
    int setInt(int value);
    int setFloat(float value);
    int setDouble(double value);
    // 1, or -32767 for null in or a parameter that is not four floats.
    int setFloats(const float in[4]);

    // Advances with every set, so that a reader can tell a value changed.
    unsigned int getRevision() const;

protected:
    ~kuParameter() override;

private:
    kuParameter(const char* name, int type);
    int setScalar(double value);

    kuString m_name;
    int m_type;
    double m_value[4] = {0, 0, 0, 0};
    unsigned int m_revision = 0;
    mutable kuLock m_lock;
};

#endif
