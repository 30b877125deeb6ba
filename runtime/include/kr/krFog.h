#ifndef KR_FOG_H
#define KR_FOG_H

#include <kr/krElement.h>
#include <ku/kuBase.h>

// A fog: how much of a distant object's colour is replaced by the fog colour.
// Threads: set on the application thread (or on the draw thread for a draw thread's own fog).
class KX_API krFog : public kuBase {
public:
    enum Type { TYPE_LINEAR = 1, TYPE_EXP = 2, TYPE_EXP2 = 3 };

    krFog();

    void setType(int type) {
        m_type = type;
        ++m_revision;
    }
    int getType() const { return m_type; }
    void setDensity(float density) {
        m_density = density;
        ++m_revision;
    }
    float getDensity() const { return m_density; }
    // Start and end of a linear fog.
    void setRange(float nearDistance, float farDistance) {
        m_near = nearDistance;
        m_far = farDistance;
        ++m_revision;
    }
    float getNear() const { return m_near; }
    float getFar() const { return m_far; }
    void setColor(float r, float g, float b, float a);
    const float* getColor() const { return m_color; }

    // The share of fog at a distance: 0 (clear) to 1 (only fog).
    float getValue(double distance) const;
    // Copies type, density, range and colour.
    void copyFrom(const krFog& other);
    // Advances with every change, so that an element naming this fog knows to apply it again.
    unsigned int getRevision() const { return m_revision; }

    // Fog on or off, and which fog.
    class KX_API Element : public krElementT<Element, KR_ELEMENT_FOG> {
    public:
        Element() = default;
        Element(bool enable, krFog* fog);
        Element(const Element& other);
        Element& operator=(const Element& other);
        ~Element() override;
        bool operator==(const Element& other) const;
        void apply(krDrawContext& context) const override;

        bool enable = false;
        krFog* getFog() const { return m_fog; }
        void setFog(krFog* fog);

    private:
        krFog* m_fog = nullptr; // counted
        // The fog's revision when this value was made or applied.
        mutable unsigned int m_revision = 0;
    };

protected:
    ~krFog() override;

private:
    int m_type = TYPE_EXP;
    float m_density = 0.0f;
    float m_near = 0.0f, m_far = 1.0f;
    float m_color[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    unsigned int m_revision = 1;
};

#endif
