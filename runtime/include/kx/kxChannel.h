#ifndef KX_CHANNEL_H
#define KX_CHANNEL_H

#include <ks/ksChannel.h>

// The channel an application or a configuration file creates: a ksChannel under the
// runtime-level class type "kxChannel" that configuration references name. It is counted
// among the ksChannel instances too, so everything that walks channels sees it.
// Threads: as ksChannel.
class KX_API kxChannel : public ksChannel {
public:
    kxChannel();

    const ClassType* getClassType() const override;
    static ClassType* getStaticClassType();
    static kuBase* create();
    static int initializeClass();
    static int shutdownClass();

protected:
    ~kxChannel() override;
};

#endif
