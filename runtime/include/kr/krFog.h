#ifndef KR_FOG_H
#define KR_FOG_H

#include <kr/krElement.h>
#include <ku/kuBase.h>

// A fog: how much of a distant object's colour is replaced by the fog colour.
// Threads: set on the application thread (or on the draw thread for a draw thread's own fog).
class KX_API krFog : public kuBase {
public:
    enum Type { TYPE_LINEAR = 1, TYPE_EXP = 2, TYPE_EXP2 = 3 };

    // What a fog is, as a plain value: copied for a frame, it stays as it was while the fog
    // itself changes.
    struct KX_API Value {
        int type = TYPE_EXP;
        float density = 0.0f;
        float nearDistance = 0.0f, farDistance = 1.0f; // start and end of a linear fog
        float color[4] = {0.5f, 0.5f, 0.5f, 1.0f};
        bool operator==(const Value& other) const;
        // The share of fog at a distance: 0 (clear) to 1 (only fog).
        float getAmount(double distance) const;
    };

    krFog();

    void setType(int type) {
        m_value.type = type;
        ++m_revision;
    }
    int getType() const { return m_value.type; }
    void setDensity(float density) {
        m_value.density = density;
        ++m_revision;
    }
    float getDensity() const { return m_value.density; }
    // Start and end of a linear fog.
    void setRange(float nearDistance, float farDistance) {
        m_value.nearDistance = nearDistance;
        m_value.farDistance = farDistance;
        ++m_revision;
    }
    float getNear() const { return m_value.nearDistance; }
    float getFar() const { return m_value.farDistance; }
    void setColor(float r, float g, float b, float a);
    const float* getColor() const { return m_value.color; }

    // The share of fog at a distance: 0 (clear) to 1 (only fog).
    float getValue(double distance) const { return m_value.getAmount(distance); }
    // Copies type, density, range and colour.
    void copyFrom(const krFog& other);
    const Value& getFogValue() const { return m_value; }
    void setFogValue(const Value& value);
    // Advances with every change, so that an element naming this fog knows to apply it again.
    unsigned int getRevision() const { return m_revision; }

    // Fog on or off, and which fog: a fog object (whose later changes the element follows) or
    // a fog value held by the element itself (a frame's copy that nobody changes meanwhile).
    class KX_API Element : public krElementT<Element, KR_ELEMENT_FOG> {
    public:
        Element() = default;
        Element(bool enable, krFog* fog);
        Element(bool enable, const Value& value);
        Element(const Element& other);
        Element& operator=(const Element& other);
        ~Element() override;
        bool operator==(const Element& other) const;
        void apply(krDrawContext& context) const override;

        bool enable = false;
        // The fog object, null when the element holds a value (or no fog).
        krFog* getFog() const { return m_fog; }
        void setFog(krFog* fog);
        // Holds a copy of value, letting go of any fog object.
        void setFogValue(const Value& value);
        bool holdsValue() const { return m_holdsValue; }
        // The fog's value now, or the value held; null when there is neither.
        const Value* getFogValue() const {
            return m_fog ? &m_fog->getFogValue() : (m_holdsValue ? &m_value : nullptr);
        }

    private:
        krFog* m_fog = nullptr; // counted
        // The fog's revision when this value was made or applied.
        mutable unsigned int m_revision = 0;
        Value m_value;
        bool m_holdsValue = false;
    };

protected:
    ~krFog() override;

private:
    Value m_value;
    unsigned int m_revision = 1;
};

#endif
