// A session with a tree on a real share: a temporary folder added as share
// "music" (removed again at the end) and reached by the client as "Music",
// plus a tree on "IPC$".
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "conn.h"
#include "tbsmb1s.h"
#include "trans2.h"

namespace tb1s_test {

inline constexpr uint16_t k_tid = 0x0801, k_ipc_tid = 0x0803;

struct share_rig : session_rig {
    temp_dir tmp;
    std::string root;  // canonical root of the share

    share_rig()
    {
        root = std::filesystem::canonical(tmp.path).string() + "/music";
        std::filesystem::create_directories(root);
        if (tbsmb1s_add_share("music", root.c_str()) != 0)
            throw std::runtime_error(tbsmb1s_last_error());
        add_tree(s, k_tid, "Music");
        add_tree(s, k_ipc_tid, "IPC$", true);
    }
    ~share_rig() { tbsmb1s_remove_share("music"); }

    std::string file(const std::string &rel, const std::string &content = "") const
    {
        return tmp.write("music/" + rel, content);
    }
    std::string dir(const std::string &rel) const { return tmp.mkdir("music/" + rel); }

    t2_reply query(uint16_t tid, uint16_t sub, const bytes &params) { return t2_parse(serve(trans2_req(tid, sub, params))); }
};

}  // namespace tb1s_test
