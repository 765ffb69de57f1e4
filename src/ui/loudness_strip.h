#pragma once
// The loudness strip between the panel and the playlist: momentary and short-term loudness as LED
// bars with their numbers, integrated loudness since the stream started and the highest true
// peak, of the processed output while a song plays or ON-AIR runs. After an export it shows that
// export's output (the decoded MP3 for an MP3 file) until the next stream starts. A click starts
// the integrated loudness and the true peak again (and leaves an export's figures).

#include <QWidget>
#include <optional>

#include "audio/stream_loudness.h"
#include "files/export_job.h"
#include "ui/skin.h"

namespace loudara {

inline constexpr int kLoudnessStripHeight = 34;
// The bars run from -40 to 0 LUFS, one segment per LU.
inline constexpr int kLoudnessBarSegments = 40;

enum class LoudnessStripMode { Idle, Live, Export };

struct LoudnessStripFigures {
    LoudnessStripMode mode = LoudnessStripMode::Idle;
    double momentaryLufs = -std::numeric_limits<double>::infinity();  // Export: the highest
    double shortTermLufs = -std::numeric_limits<double>::infinity();  // Export: the highest
    double integratedLufs = -std::numeric_limits<double>::infinity();
    double truePeakDbtp = -std::numeric_limits<double>::infinity();
};

// Segments lit for a loudness: one per LU above -40 LUFS, 0..40.
int LoudnessBarLevel(double lufs);

class LoudnessStrip : public QWidget {
public:
    LoudnessStrip(const Skin& skin, QWidget* parent);

    // The stream's meter (none: no sound layer) and whether a stream runs now.
    void setSource(StreamLoudness* live) { live_ = live; }
    void setStreaming(bool streaming) { streaming_ = streaming; }
    // An export ended: its figures are shown until the next stream starts or a click.
    void showExport(const ExportLoudness& loudness);
    // What the strip shows now.
    LoudnessStripFigures figures() const;
    // The click: integrated loudness and true peak start again.
    void resetMeasurement();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    const Skin& skin_;
    StreamLoudness* live_ = nullptr;
    bool streaming_ = false;
    std::optional<LoudnessStripFigures> export_;
    uint64_t startsAtExport_ = 0;
};

}  // namespace loudara
