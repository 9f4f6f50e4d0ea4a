// The table of the traffic log: a QTableView that takes new rows without repainting
// what it already shows.
//
// When rows come at the bottom (and old ones leave at the top), the rows on show only
// move: the view shifts their pixels and paints the rows that come into sight, instead of
// laying out and painting every visible row again as a table view does after each change
// of its model. Its scroll bars, which repaint with every new row, are drawn flat: the
// shaded ones of the desktop style cost more than the rows themselves.
#pragma once

#include <QTableView>
#include <functional>

class TTrafficTableView : public QTableView {
    Q_OBJECT
  public:
    explicit TTrafficTableView(QWidget* Parent = nullptr);

    struct TChange {
        int Removed = 0;  // rows gone from the top
        int Added = 0;    // rows come at the bottom
    };
    // Applies Update (which changes the model: rows removed at the top, then rows added
    // at the bottom, as TChange says) and repaints only what it must. The view follows
    // the newest row when it showed the last row before; otherwise the rows under the
    // reader stay in place.
    TChange Append(const std::function<TChange()>& Update);

    void doItemsLayout() override;

  private:
    bool FQuietLayout = false;
};
