// A terminal for the tests of interactive programs (kvterm, miniterm): a tmux server of the test's
// own. POSIX only.
#ifndef KALVICOM_TESTS_TMUX_H
#define KALVICOM_TESTS_TMUX_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

// A tmux server on a socket in a scratch folder (named after the test), whose one window
// runs a shell script. Keys are typed with send-keys, the screen is read with capture-pane.
class Tmux
{
  public:
    Tmux(const std::string &name, const std::string &script)
        : dir_(testing::TempDir() + name + "-tmux-" + std::to_string(getpid()))
    {
        Shell("rm -rf '" + dir_ + "' && mkdir -p '" + dir_ + "'");
        std::ofstream(dir_ + "/session.sh") << "cd '" << dir_ << "'\n" << script;
        Run("new-session -d -x 100 -y 30 'sh session.sh'");
    }
    ~Tmux()
    {
        Run("kill-server");
        Shell("rm -rf '" + dir_ + "'");
    }
    void Keys(const std::string &keys) { Run("send-keys " + keys); }
    std::string Screen() { return Output("capture-pane -p"); }
    // Whether a line on the screen starts with text.
    bool LineStarts(const std::string &text) { return ("\n" + Screen()).find("\n" + text) != std::string::npos; }
    // A file the script wrote, or "".
    std::string File(const std::string &name)
    {
        std::ostringstream text;
        text << std::ifstream(dir_ + "/" + name, std::ios::binary).rdbuf();
        return text.str();
    }
    // Writes a file into the session's folder for the script to use.
    template <typename Data> void Put(const std::string &name, const Data &data)
    {
        std::ofstream(dir_ + "/" + name, std::ios::binary)
            .write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    }
    // Waits up to 10 s for done() to hold.
    template <typename Done> bool Wait(Done done)
    {
        for (int i = 0; i < 500; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20)))
            if (done())
                return true;
        return false;
    }

  private:
    static int Shell(const std::string &command) { return std::system(command.c_str()); }
    std::string Command(const std::string &command)
    {
        return "cd '" + dir_ + "' && env -u TMUX tmux -f /dev/null -S socket " + command;
    }
    void Run(const std::string &command) { Shell(Command(command) + " >/dev/null 2>&1"); }
    std::string Output(const std::string &command)
    {
        std::string out;
        if (FILE *f = popen(Command(command).c_str(), "r")) {
            char buffer[4096];
            for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
                out.append(buffer, n);
            pclose(f);
        }
        return out;
    }

    std::string dir_;
};

// Whether tmux is there to run.
inline bool HaveTmux()
{
    return std::system("command -v tmux >/dev/null 2>&1") == 0;
}

#endif
