// A program built against an installed brenn: the C++ layer over a local queue (owners, a
// session, a look-back guard, a handle array) and a call of the C interface. Prints
// "consumer ok" when every answer is the expected one.
#include <brenn.h>

#include <brenn.hpp>
#include <cstdio>

int main() {
    int bad = 0;
    {
        auto queue = brenn::LocalQueue::dynamic(4, 3);
        if (!queue) {
            std::printf("consumer FAILED: %s\n", queue.error().message().c_str());
            return 1;
        }
        auto session = queue->create_session();
        bad |= !session;
        for (uint64_t h = 1; h <= 5; ++h)
            bad |= !queue->write(h, brenn::from_ts(1000 + 40 * h));
        {
            auto look = session->look_back();  // ended by its guard at the end of the scope
            bad |= !look;
            if (look) {
                auto step = look->step();
                bad |= !step || step->handle != 4;
            }
        }
        auto dropped = queue->resize(1);
        bad |= !dropped || dropped->size() != 2 || (*dropped)[0] != 3 || (*dropped)[1] != 4;
        bad |= brenn::LocalQueue::plain(0).has_value();  // a size without a node is refused
    }
    bad |= lsq_c_get_gnode_size() != BRENN_NODE_SIZE;
    std::puts(bad ? "consumer FAILED" : "consumer ok");
    return bad;
}
