#ifndef KR_GEOMETRY_H
#define KR_GEOMETRY_H

#include <ku/kuBase.h>
#include <ku/kuSphere.h>
#include <ku/kuVec.h>

#include <atomic>
#include <vector>

// Geometry to draw: vertices with optional normals, colours and texture coordinates, drawn as
// one primitive type, optionally indexed. The revision changes with every edit so that users
// that derive data from it (line-of-sight scenes, GL buffers) know when to rebuild.
// Threads: edited on the application thread; read by cull, draw and isector threads while no
// edit is in progress (edits happen between frames).
class KX_API krGeometry : public kuBase {
public:
    // Told of every edit, on the editing (application) thread, so that what is derived from
    // the geometry (a node's cached bounds) can be let go.
    class KX_API Observer {
    public:
        virtual void geometryChanged(krGeometry* geometry) = 0;

    protected:
        ~Observer() = default;
    };

    enum PrimitiveType {
        PRIMITIVE_POINTS = 0,
        PRIMITIVE_LINES = 1,
        PRIMITIVE_LINE_STRIP = 2,
        PRIMITIVE_TRIANGLES = 3,
        PRIMITIVE_TRIANGLE_STRIP = 4,
        PRIMITIVE_TRIANGLE_FAN = 5
    };
    enum Binding { BIND_OFF = 0, BIND_OVERALL = 1, BIND_PER_VERTEX = 2 };

    krGeometry();

    void setPrimitiveType(int type);
    int getPrimitiveType() const { return m_primitiveType; }
    void setVertices(const std::vector<kuVec3f>& vertices);
    const std::vector<kuVec3f>& getVertices() const { return m_vertices; }
    void setNormals(const std::vector<kuVec3f>& normals, int binding);
    const std::vector<kuVec3f>& getNormals() const { return m_normals; }
    int getNormalBinding() const { return m_normalBinding; }
    void setColors(const std::vector<kuVec4f>& colors, int binding);
    const std::vector<kuVec4f>& getColors() const { return m_colors; }
    int getColorBinding() const { return m_colorBinding; }
    void setTexCoords(const std::vector<kuVec2f>& texCoords);
    const std::vector<kuVec2f>& getTexCoords() const { return m_texCoords; }
    // Empty: vertices are used in order.
    void setIndices(const std::vector<unsigned int>& indices);
    const std::vector<unsigned int>& getIndices() const { return m_indices; }
    // Several primitives of the one type, one after the other (strips that do not join): the
    // number of vertices (or indices) of each. Empty: one primitive of them all. What the
    // lengths leave over is not drawn.
    void setPrimitiveLengths(const std::vector<int>& lengths);
    const std::vector<int>& getPrimitiveLengths() const { return m_primitiveLengths; }
    int getNumPrimitives() const;

    // The triangles of the primitive as a list of vertex index triples (strips and fans are
    // unrolled; points and lines give none; indices out of range are skipped).
    std::vector<unsigned int> getTriangleIndices() const;
    // Kept with the vertices: computed when they are set, so reading costs nothing.
    const kuSphered& getBounds() const { return m_bounds; }
    unsigned int getRevision() const { return m_revision.load(std::memory_order_acquire); }
    // Unique for the life of the process (a new geometry at an old one's address differs).
    unsigned long long getSerial() const { return m_serial; }
    // An observer registered n times is told once per edit until removed n times.
    void addObserver(Observer* observer);
    void removeObserver(Observer* observer);
    // Issues the geometry in immediate mode (the draw context compiles it into a display list).
    void drawImmediate() const;

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~krGeometry() override;

private:
    // Calls function(first, count) for each primitive's range of vertices (or indices).
    template <class Function>
    void forEachPrimitive(Function function) const;
    void appendTriangles(std::size_t first, std::size_t count,
                         std::vector<unsigned int>& triangles) const;
    void changed();

    int m_primitiveType = PRIMITIVE_TRIANGLES;
    std::vector<kuVec3f> m_vertices;
    std::vector<kuVec3f> m_normals;
    int m_normalBinding = BIND_OFF;
    std::vector<kuVec4f> m_colors;
    int m_colorBinding = BIND_OFF;
    std::vector<kuVec2f> m_texCoords;
    std::vector<unsigned int> m_indices;
    std::vector<int> m_primitiveLengths;
    kuSphered m_bounds;
    std::vector<Observer*> m_observers;
    std::atomic<unsigned int> m_revision{1};
    unsigned long long m_serial;
};

#endif
