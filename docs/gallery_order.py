"""The order of the gallery's examples: from the first fit to the finer points; an example not
listed here comes after the listed ones, by file name."""

ORDER = [
    "plot_quickstart.py",
    "plot_kernel_families.py",
    "plot_goodness_of_fit.py",
    "plot_interval_coverage.py",
    "plot_nonparametric_kernel.py",
    "plot_multivariate.py",
    "plot_sparse_network.py",
    "plot_commit_times.py",
]


class GalleryOrder:
    """Sort key of sphinx-gallery's ``within_subsection_order``."""

    def __init__(self, src_dir: str) -> None:
        self.src_dir = src_dir

    def __call__(self, filename: str) -> tuple[int, str]:
        position = ORDER.index(filename) if filename in ORDER else len(ORDER)
        return position, filename

    def __repr__(self) -> str:
        return f"<{type(self).__name__}>"
