"""Stand-in for the COM module ``pythoncom``: tracks CoInitialize and
CoUninitialize per thread (see ``dralvex_sim.com``). Test and demo
infrastructure only; never install it into site-packages."""
from dralvex_sim.com import CoInitialize, CoUninitialize, COINIT_APARTMENTTHREADED  # noqa: F401
