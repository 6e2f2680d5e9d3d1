// Writes the five beep files 1.wav to 5.wav into the directory given as the
// only argument: short sine tones, 16-bit PCM mono at 44100 Hz (the sound
// backend does not decode 32-bit PCM). Higher volume steps get higher and
// louder tones, so each file is told apart by ear and by measurement.

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int sampleRate = 44100;
const double durationS = 0.15;
const double rampS = 0.005; // fade in and out, so the tone starts without a click

struct Tone
{
    double hz;
    double amplitude; // of full scale
};

const Tone tones[5] = {
    {523.25, 0.30}, {659.26, 0.40}, {783.99, 0.50}, {1046.50, 0.60}, {1318.51, 0.70},
};

void put16(std::vector<unsigned char> &out, uint16_t v)
{
    out.push_back(v & 0xff);
    out.push_back(v >> 8);
}

void put32(std::vector<unsigned char> &out, uint32_t v)
{
    put16(out, v & 0xffff);
    put16(out, v >> 16);
}

void putTag(std::vector<unsigned char> &out, const char *tag)
{
    out.insert(out.end(), tag, tag + 4);
}

std::vector<unsigned char> makeWav(const Tone &tone)
{
    const double pi = 3.14159265358979323846;
    const int samples = int(sampleRate * durationS);
    const int ramp = int(sampleRate * rampS);
    const uint32_t dataBytes = uint32_t(samples) * 2;

    std::vector<unsigned char> out;
    putTag(out, "RIFF");
    put32(out, 36 + dataBytes);
    putTag(out, "WAVE");
    putTag(out, "fmt ");
    put32(out, 16);
    put16(out, 1); // PCM
    put16(out, 1); // mono
    put32(out, sampleRate);
    put32(out, sampleRate * 2); // bytes per second
    put16(out, 2); // block align
    put16(out, 16); // bits per sample
    putTag(out, "data");
    put32(out, dataBytes);
    for (int i = 0; i < samples; ++i) {
        double gain = 1.0;
        if (i < ramp)
            gain = double(i) / ramp;
        else if (samples - 1 - i < ramp)
            gain = double(samples - 1 - i) / ramp;
        const double v = tone.amplitude * gain * std::sin(2.0 * pi * tone.hz * i / sampleRate);
        put16(out, uint16_t(int16_t(std::lround(v * 32767.0))));
    }
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    for (int n = 0; n < 5; ++n) {
        const std::string path = std::string(argv[1]) + "/" + std::to_string(n + 1) + ".wav";
        const std::vector<unsigned char> wav = makeWav(tones[n]);
        FILE *f = std::fopen(path.c_str(), "wb");
        if (!f) {
            std::perror(path.c_str());
            return 1;
        }
        const bool ok = std::fwrite(wav.data(), 1, wav.size(), f) == wav.size();
        if (std::fclose(f) != 0 || !ok) {
            std::perror(path.c_str());
            return 1;
        }
    }
    return 0;
}
