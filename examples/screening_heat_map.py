"""The heat map page of the screening example (screen_reservoirs.py):
reservoirs x methods, one panel per method, knocked-out cells, cells without
a score and unscreened cells marked."""
import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402


def short_name(text, width=34):
    text = str(text)
    return text if len(text) <= width else text[:width - 1].rstrip() + "\u2026"


KO_COLOUR = "#3b3b3b"
NO_SCORE_COLOUR = "#d9d9d9"
# The coverage from which zelt's summaries call a score screened.
SCREENED_AT = 0.5


def plot_page(path, labels, panels, title):
    """One page of the heat map: reservoirs x methods, one panel per method,
    one colour scale from -1 to 1; knocked-out cells dark grey, cells
    without a score light grey, unscreened cells hatched. Each panel holds
    its methods, its grid of scores and the masks "knocked" and
    "unscreened" of the grid's shape."""
    n = len(labels)
    widths = [len(p["methods"]) for p in panels]
    height = max(4.6, 0.34 * n + 3.6)
    fig, axes = plt.subplots(1, len(panels), figsize=(0.42 * sum(widths) + 5.0, height),
                             gridspec_kw={"width_ratios": widths}, layout="constrained", squeeze=False)
    cmap = plt.get_cmap("RdYlGn")
    image = None
    for k, (ax, panel) in enumerate(zip(axes[0], panels)):
        grid = panel["grid"]
        image = ax.imshow(np.ma.masked_invalid(grid), cmap=cmap, vmin=-1.0, vmax=1.0, aspect="auto")
        special = np.full(grid.shape, np.nan)
        special[np.isnan(grid)] = 1.0
        special[panel["knocked"]] = 0.0
        ax.imshow(np.ma.masked_invalid(special), cmap=ListedColormap([KO_COLOUR, NO_SCORE_COLOUR]),
                  vmin=0.0, vmax=1.0, aspect="auto")
        for i in range(grid.shape[0]):
            for j in range(grid.shape[1]):
                if panel["knocked"][i, j]:
                    text, colour = "KO", "white"
                elif np.isnan(grid[i, j]):
                    text, colour = "n/a", "black"
                else:
                    shade = cmap((grid[i, j] + 1.0) / 2.0)
                    light = 0.299 * shade[0] + 0.587 * shade[1] + 0.114 * shade[2] > 0.5
                    text, colour = f"{grid[i, j] + 0.0:.1f}", "black" if light else "white"
                ax.text(j, i, text, ha="center", va="center", fontsize=7.5, color=colour)
                if panel["unscreened"][i, j]:
                    ax.add_patch(Rectangle((j - 0.5, i - 0.5), 1.0, 1.0, fill=False, hatch="////",
                                           edgecolor="#555555", linewidth=0.0))
        ticks = range(len(panel["methods"]))
        ax.set_xticks(ticks, panel["methods"], rotation=55, ha="right", rotation_mode="anchor", fontsize=9)
        if n > 12:   # long pages: the method names above the panel too
            top = ax.secondary_xaxis("top")
            top.set_xticks(ticks, panel["methods"], rotation=55, ha="left", rotation_mode="anchor", fontsize=9)
        ax.set_yticks(range(n), labels if k == 0 else [""] * n, fontsize=9)
        if k > 0:
            ax.tick_params(axis="y", which="major", length=0)
        ax.set_xticks(np.arange(-0.5, len(panel["methods"])), minor=True)
        ax.set_yticks(np.arange(-0.5, n), minor=True)
        ax.grid(which="minor", color="white", linewidth=0.8)
        ax.tick_params(which="minor", length=0)
        ax.set_title(panel["title"], fontsize=11)
    bar = fig.colorbar(image, ax=axes[0].tolist(), orientation="horizontal", location="bottom",
                       shrink=0.5, aspect=40, pad=0.02, ticks=np.linspace(-1, 1, 9))
    bar.set_label("score: \u22121 unsuitable, +1 inside every limit", fontsize=9)
    bar.ax.legend(handles=[Patch(color=KO_COLOUR, label="KO: knocked out by a stopper (\u22121)"),
                           Patch(color=NO_SCORE_COLOUR, label="n/a: no score"),
                           Patch(facecolor="white", edgecolor="#555555", hatch="////",
                                 label=f"hatched: not screened (coverage below {SCREENED_AT})")],
                  loc="center left", bbox_to_anchor=(1.03, 0.5), fontsize=8, frameon=False)
    fig.suptitle(title, fontsize=12)
    fig.savefig(path, dpi=110)
    plt.close(fig)
