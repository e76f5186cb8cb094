"""What a study learns from its points, in plain Python (PyPy has no wheel
of scipy or scikit-learn): ``goals`` (what a study is asked), ``process``
(a Gaussian process of a value over the parameters) and ``sensitivity``
(Sobol' indices of a process's mean). Below the study and the page, which
both use them."""
