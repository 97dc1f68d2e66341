"""Native extension modules: ``_tavro_core`` and ``_hxm_field_solver``."""
