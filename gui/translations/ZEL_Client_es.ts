<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
<context>
    <name>Application</name>
    <message>
        <source>No display available: set DISPLAY to show the ZEL Client window.</source>
        <translation>No hay ninguna pantalla disponible: defina DISPLAY para mostrar la ventana de ZEL Client.</translation>
    </message>
</context>
<context>
    <name>CommandLineParser</name>
    <message>
        <source>Login username.</source>
        <translation>Nombre de usuario para iniciar sesión.</translation>
    </message>
    <message>
        <source>Login password.</source>
        <translation>Contraseña para iniciar sesión.</translation>
    </message>
    <message>
        <source>Login bearer token (used instead of password).</source>
        <translation>Token de portador para iniciar sesión (en lugar de la contraseña).</translation>
    </message>
    <message>
        <source>Server to connect to.</source>
        <translation>Servidor al que conectarse.</translation>
    </message>
    <message>
        <source>Port ZEL is running on.</source>
        <translation>Puerto en el que se ejecuta ZEL.</translation>
    </message>
    <message>
        <source>Open file in VM.</source>
        <translation>Abrir un archivo en la máquina virtual.</translation>
    </message>
    <message>
        <source>Enable or disable the use of SSL. Default True.</source>
        <translation>Activar o desactivar el uso de SSL. Por omisión, activado.</translation>
    </message>
    <message>
        <source>What to do in case of SSL errors. Valid values are: &apos;ask&apos;, &apos;continue&apos; and &apos;abort&apos;.</source>
        <translation>Qué hacer ante errores de SSL. Valores válidos: &apos;ask&apos;, &apos;continue&apos; y &apos;abort&apos;.</translation>
    </message>
    <message>
        <source>List VMs, and exit.</source>
        <translation>Listar las máquinas virtuales y salir.</translation>
    </message>
    <message>
        <source>List applications, and exit.</source>
        <translation>Listar las aplicaciones y salir.</translation>
    </message>
    <message>
        <source>Don&apos;t show the header for --list-vms and --list-apps.</source>
        <translation>No mostrar la cabecera de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Use JSON to dump the --list-vms and --list-apps data.</source>
        <translation>Usar JSON para mostrar los datos de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Type of connection to use: </source>
        <translation>Tipo de conexión que se usará: </translation>
    </message>
    <message>
        <source>Enable experimental features</source>
        <translation>Activar las funciones experimentales</translation>
    </message>
    <message>
        <source>Dialog - type</source>
        <translation>Diálogo: tipo</translation>
    </message>
    <message>
        <source>Dialog - caption</source>
        <translation>Diálogo: título</translation>
    </message>
    <message>
        <source>Dialog - window ID</source>
        <translation>Diálogo: identificador de ventana</translation>
    </message>
    <message>
        <source>Dialog - message</source>
        <translation>Diálogo: mensaje</translation>
    </message>
    <message>
        <source>Dialog - Proxy mode is used (ignored)</source>
        <translation>Diálogo: se usa el modo proxy (se ignora)</translation>
    </message>
    <message>
        <source>Dialog - nagent&apos;s PID</source>
        <translation>Diálogo: PID de nxagent</translation>
    </message>
    <message>
        <source>Dialog - X11 display</source>
        <translation>Diálogo: pantalla X11</translation>
    </message>
</context>
<context>
    <name>ConnectionStatistics</name>
    <message>
        <source>Dialog</source>
        <translation>Diálogo</translation>
    </message>
</context>
<context>
    <name>ConnectionStatisticsChart</name>
    <message>
        <source>Download</source>
        <translation>Descarga</translation>
    </message>
    <message>
        <source>Upload</source>
        <translation>Subida</translation>
    </message>
    <message>
        <source>Time</source>
        <translation>Hora</translation>
    </message>
    <message>
        <source>KiB/s</source>
        <translation>KiB/s</translation>
    </message>
    <message>
        <source>Bandwidth usage</source>
        <translation>Uso del ancho de banda</translation>
    </message>
</context>
<context>
    <name>ListDialog</name>
    <message>
        <source>Select your VM</source>
        <translation>Seleccione su máquina virtual</translation>
    </message>
    <message>
        <source>ID</source>
        <translation>ID</translation>
    </message>
    <message>
        <source>Name</source>
        <translation>Nombre</translation>
    </message>
    <message>
        <source>Connect</source>
        <translation>Conectar</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>ZEL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>User name</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Second factor</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remember password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Restart session</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Return</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel the connection attempt</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Options</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Two factor authentication</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable audio</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable microphone</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable printing</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Full screen</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Show bandwidth graph</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connectivity</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connection type</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Shared Folders</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable shared folders</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Add</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Remove</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Environment Variables</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>USB</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Enable USB redirection</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Version</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Release: (running from source code)
Git commit: N/A
Build: N/A</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Modem</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>ISDN</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>ADSL</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>WAN</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>LAN</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Local</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server is not set.
Please configure a server to connect to.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Starting the remote desktop...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Connecting to %1...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Fetching the list of virtual machines...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Waiting for the virtual machine to start...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Failed to connect to ZEL at %1:%2
%3</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Bug: no error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Authentication error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Timeout</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Error when starting the VM</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Protocol error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server blocked</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Server error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>X Server error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Backend error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Internal error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Select a folder to share</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Running from source
</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <source>Copyright (C) Pelsor. All rights reserved.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>NXDialog</name>
    <message>
        <source>Suspend</source>
        <translation>Suspender</translation>
    </message>
</context>
<context>
    <name>SSLErrorDialog</name>
    <message>
        <source>Dialog</source>
        <translation>Diálogo</translation>
    </message>
    <message>
        <source>Problems</source>
        <translation>Problemas</translation>
    </message>
    <message>
        <source>Result of the certificate check</source>
        <translation>Resultado de la comprobación del certificado</translation>
    </message>
    <message>
        <source>Severity</source>
        <translation>Gravedad</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Recommendations</source>
        <translation>Recomendaciones</translation>
    </message>
    <message>
        <source>Details</source>
        <translation>Detalles</translation>
    </message>
    <message>
        <source>Accept temporarily</source>
        <translation>Aceptar temporalmente</translation>
    </message>
    <message>
        <source>Accept permanently</source>
        <translation>Aceptar permanentemente</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancelar</translation>
    </message>
    <message>
        <source>Connection</source>
        <translation>Conexión</translation>
    </message>
    <message>
        <source>Medium</source>
        <translation>Media</translation>
    </message>
</context>
</TS>
