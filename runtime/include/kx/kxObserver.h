#ifndef KX_OBSERVER_H
#define KX_OBSERVER_H

#include <ku/kuBase.h>
#include <ku/kuMatrix.h>
#include <kx/kxPositionable.h>

#include <vector>

class ksChannel;
class kxScene;

// An eyepoint: a positionable that looks at a scene through its channels, and carries
// attachments (an environment, for instance) that travel with it.
// Threads: application thread.
class KX_API kxObserver : public kuBase, public kxPositionable {
public:
    kxObserver();

    void setScene(kxScene* scene);
    kxScene* getScene() const;

    int addChannel(ksChannel* channel);
    int removeChannel(ksChannel* channel);
    int getNumChannels() const { return static_cast<int>(m_channels.size()); }
    ksChannel* getChannel(int index) const;
    bool hasChannel(const ksChannel* channel) const;

    int addAttachment(kuBase* attachment);
    int removeAttachment(kuBase* attachment);
    int getNumAttachments() const { return static_cast<int>(m_attachments.size()); }
    kuBase* getAttachment(int index) const;

    // The observer's world matrix: its own position and orientation.
    kuMatrixd getWorldMatrix() const;
    // Sets each channel's view matrix from the observer's place and the channel's offset.
    void updateChannelViews();

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static int initializeClass();
    static int shutdownClass();
    static int getNum();
    static kxObserver* get(int index);

protected:
    ~kxObserver() override;

private:
    kuRef<kxScene> m_scene;
    std::vector<kuRef<ksChannel>> m_channels;
    std::vector<kuRef<kuBase>> m_attachments;
};

#endif
